#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Bridge/FileSectionStream.h"
#include "Util/Utf8.h"

namespace {

using Bytes = std::vector<BYTE>;

template <typename Fn>
std::string FailureText(Fn fn) {
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no failure)";
}

// Each test works in a directory of its own, removed afterwards.
class FileStreamTest : public testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> s_Sequence{0};
        m_Directory =
            std::filesystem::temp_directory_path() /
            ("qv-filestream-" + std::to_string(getpid()) + "-" + std::to_string(s_Sequence++));
        std::filesystem::remove_all(m_Directory);
        std::filesystem::create_directories(m_Directory);
    }
    void TearDown() override { std::filesystem::remove_all(m_Directory); }

    std::filesystem::path Native(const char* name) const { return m_Directory / name; }
    WString Path(const char* name) const { return FromUtf8(Native(name).string()); }

    bool Exists(const char* name) const { return std::filesystem::exists(Native(name)); }

    Bytes Content(const char* name) const {
        std::ifstream in(Native(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void Store(const char* name, const std::string& content) const {
        std::ofstream out(Native(name), std::ios::binary);
        out << content;
    }

    std::filesystem::path m_Directory;
};

using FileBridgeStreamTest = FileStreamTest;
using FileSectionStreamTest = FileStreamTest;

}  // namespace

TEST_F(FileBridgeStreamTest, CreatedFileIsDeletedWithTheStreamUnlessClosed) {
    {
        FileBridgeStream scratch;
        scratch.Create(Path("scratch"), FileBridgeStream::AccessReadWrite);
        scratch.Write("data", 4);
        EXPECT_TRUE(Exists("scratch"));
    }
    EXPECT_FALSE(Exists("scratch"));

    FileBridgeStream kept;
    kept.Create(Path("kept"), FileBridgeStream::AccessWrite);
    EXPECT_TRUE(kept.IsCreated());
    kept.Write("\x01\x02\x03", 3);
    kept.Close();
    EXPECT_FALSE(kept.IsOpen());
    EXPECT_TRUE(kept.GetPath().empty());
    EXPECT_EQ((Bytes{1, 2, 3}), Content("kept"));
}

TEST_F(FileBridgeStreamTest, OpenedFileIsNeverDeletedAndIsWrittenInPlace) {
    Store("existing", "abcdef");
    {
        FileBridgeStream stream;
        stream.Open(Path("existing"), FileBridgeStream::AccessWrite);
        stream.Seek(ISeekBridgeStream::SeekBegin, 2);
        stream.Write("XY", 2);
    }
    ASSERT_TRUE(Exists("existing"));
    EXPECT_EQ((Bytes{'a', 'b', 'X', 'Y', 'e', 'f'}), Content("existing"));
}

TEST_F(FileBridgeStreamTest, AccessMaskDecidesWhatIsAllowed) {
    FileBridgeStream readOnly;
    readOnly.Create(Path("ro"), FileBridgeStream::AccessRead);
    EXPECT_EQ("No write access", FailureText([&] { readOnly.Write("x", 1); }));
    EXPECT_EQ(0, readOnly.Length());

    FileBridgeStream writeOnly;
    writeOnly.Create(Path("wo"), FileBridgeStream::AccessWrite);
    writeOnly.Write("x", 1);
    writeOnly.Seek(ISeekBridgeStream::SeekBegin, 0);
    char c = 0;
    EXPECT_EQ("No read access", FailureText([&] { writeOnly.Read(&c, 1); }));

    FileBridgeStream stream;
    for (const uint32_t access : {0u, 4u, 7u}) {
        EXPECT_EQ("Invalid file access", FailureText([&] { stream.Create(Path("bad"), access); }));
        EXPECT_EQ("Invalid file access", FailureText([&] { stream.Open(Path("ro"), access); }));
    }
    EXPECT_FALSE(Exists("bad"));
}

TEST_F(FileBridgeStreamTest, BindingRulesAndFailedBindingsLeaveTheStreamUnbound) {
    FileBridgeStream stream;
    EXPECT_EQ("Can't open file",
              FailureText([&] { stream.Open(Path("missing"), FileBridgeStream::AccessRead); }));
    EXPECT_EQ("Can't open file",
              FailureText([&] { stream.Open(Path("missing"), FileBridgeStream::AccessWrite); }));
    EXPECT_FALSE(Exists("missing"));
    EXPECT_EQ("Can't create file", FailureText([&] {
                  stream.Create(Path("no-such-dir/file"), FileBridgeStream::AccessWrite);
              }));
    EXPECT_FALSE(stream.IsOpen());

    stream.Create(Path("first"), FileBridgeStream::AccessWrite);
    EXPECT_EQ("File is created",
              FailureText([&] { stream.Create(Path("second"), FileBridgeStream::AccessWrite); }));
    EXPECT_EQ("File is created",
              FailureText([&] { stream.Open(Path("first"), FileBridgeStream::AccessRead); }));
    EXPECT_FALSE(Exists("second"));
    stream.Close();

    char c = 0;
    EXPECT_EQ("File is closed", FailureText([&] { stream.Close(); }));
    EXPECT_EQ("File is closed", FailureText([&] { stream.Tell(); }));
    EXPECT_EQ("File is closed", FailureText([&] { stream.Seek(0, 0); }));
    EXPECT_EQ("File is closed", FailureText([&] { stream.Write("x", 1); }));
    EXPECT_EQ("File is closed", FailureText([&] { stream.Read(&c, 1); }));
    EXPECT_EQ("File is closed", FailureText([&] { stream.Length(); }));

    // A closed stream binds again.
    stream.Open(Path("first"), FileBridgeStream::AccessRead);
    EXPECT_TRUE(stream.IsOpen());
}

TEST_F(FileBridgeStreamTest, TellSeekLengthAndTheEndOfTheFile) {
    FileBridgeStream stream;
    stream.Create(Path("positions"), FileBridgeStream::AccessReadWrite);
    EXPECT_EQ(0, stream.Tell());
    EXPECT_EQ(0, stream.Length());
    stream.Write("0123456789", 10);
    stream.Seek(ISeekBridgeStream::SeekBegin, 4);
    EXPECT_EQ(10, stream.Length());
    EXPECT_EQ(4, stream.Tell());
    stream.Seek(ISeekBridgeStream::SeekCurrent, 3);
    EXPECT_EQ(7, stream.Tell());
    stream.Seek(ISeekBridgeStream::SeekEnd, -2);
    EXPECT_EQ(8, stream.Tell());
    EXPECT_EQ("Can't seek position", FailureText([&] { stream.Seek(3, 0); }));
    EXPECT_EQ("Can't seek position",
              FailureText([&] { stream.Seek(ISeekBridgeStream::SeekBegin, -1); }));
    EXPECT_EQ(8, stream.Tell());

    // The end of the file ends a read with a failure; it never waits for more.
    char buffer[3] = {};
    EXPECT_EQ("Can't read data", FailureText([&] { stream.Read(buffer, 3); }));
    stream.Seek(ISeekBridgeStream::SeekBegin, 7);
    stream.Read(buffer, 3);
    EXPECT_EQ("789", std::string(buffer, 3));
    EXPECT_EQ("Can't read data", FailureText([&] { stream.Read(buffer, 1); }));
}

TEST_F(FileBridgeStreamTest, SwitchesBetweenReadingAndWritingWithoutExplicitSeeks) {
    FileBridgeStream stream;
    stream.Create(Path("mixed"), FileBridgeStream::AccessReadWrite);
    stream.Write("abcd", 4);
    stream.Seek(ISeekBridgeStream::SeekBegin, 0);
    char buffer[4] = {};
    stream.Read(buffer, 2);
    stream.Write("XY", 2);  // overwrites c and d
    stream.Seek(ISeekBridgeStream::SeekBegin, 1);
    stream.Read(buffer, 3);
    EXPECT_EQ("bXY", std::string(buffer, 3));
    stream.Write("Z", 1);  // appends after reading to the end
    stream.Close();
    EXPECT_EQ((Bytes{'a', 'b', 'X', 'Y', 'Z'}), Content("mixed"));
}

TEST_F(FileBridgeStreamTest, SmallWritesAreSeenByEveryOtherOperation) {
    // Enough one-byte and mid-sized writes to cross the stream's own buffer several times, mixed
    // with one large write, and checked through Tell, Length, Read and the file on disk.
    Bytes expected;
    FileBridgeStream stream;
    stream.Create(Path("gathered"), FileBridgeStream::AccessReadWrite);
    for (int i = 0; i < 10000; ++i) {
        const BYTE b = static_cast<BYTE>(i * 7);
        stream.Write(&b, 1);
        expected.push_back(b);
        if (i % 1000 == 999) {
            const Bytes piece(i % 3 == 0 ? 5000 : 300, static_cast<BYTE>(i));
            stream.Write(piece.data(), piece.size());
            expected.insert(expected.end(), piece.begin(), piece.end());
        }
    }
    EXPECT_EQ(static_cast<int32_t>(expected.size()), stream.Tell());
    EXPECT_EQ(static_cast<int64_t>(expected.size()), stream.Length());

    stream.Write("tail", 4);
    expected.insert(expected.end(), {'t', 'a', 'i', 'l'});
    stream.Seek(ISeekBridgeStream::SeekBegin, 0);
    Bytes readBack(expected.size());
    stream.Read(readBack.data(), readBack.size());
    EXPECT_EQ(expected, readBack);

    // Written after reading, then closed: both reach the disk.
    stream.Write("!", 1);
    expected.push_back('!');
    stream.Close();
    EXPECT_EQ(expected, Content("gathered"));
}

TEST_F(FileSectionStreamTest, PositionsCountFromTheStartOffset) {
    FileSectionStream section;
    section.Create(Path("data"), FileBridgeStream::AccessWrite);
    section.Write("first", 5);
    EXPECT_EQ(5, section.MeasureGrowth());
    EXPECT_EQ(5, section.GetStartOffset());
    EXPECT_EQ(0, section.Tell());

    section.Write("second", 6);
    EXPECT_EQ(6, section.Tell());
    section.Seek(ISeekBridgeStream::SeekBegin, 1);
    EXPECT_EQ(1, section.Tell());
    EXPECT_EQ(6, section.TellFile());
    section.Write("E", 1);
    section.Seek(ISeekBridgeStream::SeekEnd, -1);
    EXPECT_EQ(5, section.Tell());
    section.Seek(ISeekBridgeStream::SeekCurrent, -5);
    EXPECT_EQ(0, section.Tell());

    // Nothing before the section's start is reachable, and a refused seek does not move.
    section.Seek(ISeekBridgeStream::SeekBegin, 3);
    EXPECT_EQ("Invalid offset",
              FailureText([&] { section.Seek(ISeekBridgeStream::SeekBegin, -1); }));
    EXPECT_EQ("Invalid offset",
              FailureText([&] { section.Seek(ISeekBridgeStream::SeekCurrent, -4); }));
    EXPECT_EQ("Invalid offset", FailureText([&] { section.Seek(ISeekBridgeStream::SeekEnd, -7); }));
    EXPECT_EQ("Invalid origin", FailureText([&] { section.Seek(3, 0); }));
    EXPECT_EQ("Invalid origin", FailureText([&] { section.Seek(-1, 0); }));
    EXPECT_EQ(3, section.Tell());

    EXPECT_EQ(6, section.MeasureGrowth());
    EXPECT_EQ(11, section.GetStartOffset());
    EXPECT_EQ(0, section.MeasureGrowth());
    section.Close();
    EXPECT_EQ((Bytes{'f', 'i', 'r', 's', 't', 's', 'E', 'c', 'o', 'n', 'd'}), Content("data"));
}

TEST_F(FileSectionStreamTest, StartsAtTheGivenOffsetAndDeletesLikeAFileStream) {
    {
        FileSectionStream section(4);
        section.Create(Path("offset"), FileBridgeStream::AccessReadWrite);
        section.Write("0123456789", 10);
        EXPECT_EQ(6, section.Tell());
        section.Seek(ISeekBridgeStream::SeekBegin, 0);
        EXPECT_EQ(4, section.TellFile());
        char buffer[3] = {};
        section.Read(buffer, 3);
        EXPECT_EQ("456", std::string(buffer, 3));
        EXPECT_EQ(10, section.Length());
        EXPECT_EQ(3, section.Tell());
        EXPECT_TRUE(Exists("offset"));
    }
    EXPECT_FALSE(Exists("offset"));
}
