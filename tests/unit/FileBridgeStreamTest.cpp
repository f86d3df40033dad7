#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Bridge/FileSectionStream.h"
#include "Util/Utf8.h"
#include "support/ErrorText.h"
#include "support/ScratchDirectory.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr uint32_t Read = FileBridgeStream::AccessRead, Write = FileBridgeStream::AccessWrite,
                   ReadWrite = FileBridgeStream::AccessReadWrite;

// Each test works in a directory of its own, removed afterwards.
class FileStreamTest : public testing::Test {
protected:
    WString Path(const char* name) const { return m_Scratch.Wide(name); }
    bool Exists(const char* name) const { return std::filesystem::exists(m_Scratch.Path() / name); }
    Bytes Content(const char* name) const {
        std::ifstream in(m_Scratch.Path() / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    ScratchDirectory m_Scratch;
};

using FileBridgeStreamTest = FileStreamTest;
using FileSectionStreamTest = FileStreamTest;

}  // namespace

TEST_F(FileBridgeStreamTest, CreatedFileIsDeletedWithTheStreamUnlessClosedOpenedOneNever) {
    {
        FileBridgeStream scratch;
        scratch.Create(Path("scratch"), ReadWrite);
        scratch.Write("data", 4);
        EXPECT_TRUE(Exists("scratch"));
    }
    EXPECT_FALSE(Exists("scratch"));

    FileBridgeStream kept;
    kept.Create(Path("kept"), Write);
    EXPECT_TRUE(kept.IsCreated());
    kept.Write("abcdef", 6);
    kept.Close();
    EXPECT_FALSE(kept.IsOpen());
    EXPECT_TRUE(kept.GetPath().empty());
    {
        FileBridgeStream stream;
        stream.Open(Path("kept"), Write);
        stream.Seek(ISeekBridgeStream::SeekBegin, 2);
        stream.Write("XY", 2);
    }
    EXPECT_EQ((Bytes{'a', 'b', 'X', 'Y', 'e', 'f'}), Content("kept"));
}

TEST_F(FileBridgeStreamTest, AccessAndBindingRulesAndFailedBindingsLeaveTheStreamUnbound) {
    FileBridgeStream readOnly;
    readOnly.Create(Path("ro"), Read);
    EXPECT_EQ("No write access", ErrorText([&] { readOnly.Write("x", 1); }));
    EXPECT_EQ(0, readOnly.Length());
    FileBridgeStream writeOnly;
    writeOnly.Create(Path("wo"), Write);
    writeOnly.Write("x", 1);
    writeOnly.Seek(ISeekBridgeStream::SeekBegin, 0);
    char c = 0;
    EXPECT_EQ("No read access", ErrorText([&] { writeOnly.Read(&c, 1); }));

    FileBridgeStream stream;
    for (const uint32_t access : {0u, 4u, 7u}) {
        EXPECT_EQ("Invalid file access", ErrorText([&] { stream.Create(Path("bad"), access); }));
        EXPECT_EQ("Invalid file access", ErrorText([&] { stream.Open(Path("ro"), access); }));
    }
    EXPECT_FALSE(Exists("bad"));
    EXPECT_EQ("Can't open file", ErrorText([&] { stream.Open(Path("missing"), Read); }));
    EXPECT_EQ("Can't open file", ErrorText([&] { stream.Open(Path("missing"), Write); }));
    EXPECT_FALSE(Exists("missing"));
    EXPECT_EQ("Can't create file",
              ErrorText([&] { stream.Create(Path("no-such-dir/file"), Write); }));
    EXPECT_FALSE(stream.IsOpen());

    stream.Create(Path("first"), Write);
    EXPECT_EQ("File is created", ErrorText([&] { stream.Create(Path("second"), Write); }));
    EXPECT_EQ("File is created", ErrorText([&] { stream.Open(Path("first"), Read); }));
    EXPECT_FALSE(Exists("second"));
    stream.Close();
    EXPECT_EQ("File is closed", ErrorText([&] { stream.Close(); }));
    EXPECT_EQ("File is closed", ErrorText([&] { stream.Tell(); }));
    EXPECT_EQ("File is closed", ErrorText([&] { stream.Seek(0, 0); }));
    EXPECT_EQ("File is closed", ErrorText([&] { stream.Write("x", 1); }));
    EXPECT_EQ("File is closed", ErrorText([&] { stream.Read(&c, 1); }));
    EXPECT_EQ("File is closed", ErrorText([&] { stream.Length(); }));
    // A closed stream binds again.
    stream.Open(Path("first"), Read);
    EXPECT_TRUE(stream.IsOpen());
}

TEST_F(FileBridgeStreamTest, PositionsTheEndOfTheFileAndSwitchingBetweenReadAndWrite) {
    FileBridgeStream stream;
    stream.Create(Path("positions"), ReadWrite);
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
    EXPECT_EQ("Can't seek position", ErrorText([&] { stream.Seek(3, 0); }));
    EXPECT_EQ("Can't seek position",
              ErrorText([&] { stream.Seek(ISeekBridgeStream::SeekBegin, -1); }));
    EXPECT_EQ(8, stream.Tell());
    // The end of the file ends a read with a failure; it never waits for more.
    char buffer[3] = {};
    EXPECT_EQ("Can't read data", ErrorText([&] { stream.Read(buffer, 3); }));
    stream.Seek(ISeekBridgeStream::SeekBegin, 7);
    stream.Read(buffer, 3);
    EXPECT_EQ("789", std::string(buffer, 3));
    EXPECT_EQ("Can't read data", ErrorText([&] { stream.Read(buffer, 1); }));

    // No explicit seek is needed between reading and writing.
    stream.Seek(ISeekBridgeStream::SeekBegin, 0);
    stream.Read(buffer, 2);
    stream.Write("XY", 2);  // overwrites 2 and 3
    stream.Seek(ISeekBridgeStream::SeekBegin, 1);
    stream.Read(buffer, 3);
    EXPECT_EQ("1XY", std::string(buffer, 3));
    stream.Seek(ISeekBridgeStream::SeekEnd, -1);
    stream.Read(buffer, 1);
    stream.Write("Z", 1);  // appends after reading to the end
    stream.Close();
    EXPECT_EQ((Bytes{'0', '1', 'X', 'Y', '4', '5', '6', '7', '8', '9', 'Z'}), Content("positions"));
}

TEST_F(FileBridgeStreamTest, SmallWritesAreSeenByEveryOtherOperation) {
    // Enough one-byte and mid-sized writes to cross the stream's own buffer several times, mixed
    // with large writes, and checked through Tell, Length, Read and the file on disk.
    Bytes expected;
    FileBridgeStream stream;
    stream.Create(Path("gathered"), ReadWrite);
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

// Random writes of every size around the stream's window, seeks inside and outside it and past
// the end, tells, lengths and reads, each checked against a byte vector; then the file on disk,
// and the same again on the file bound by Open (whose length the stream must measure).
TEST_F(FileBridgeStreamTest, RandomPositioningAgreesWithAModel) {
    std::mt19937 random(20261207);
    Bytes model;
    int64_t position = 0;
    const auto check = [&](FileBridgeStream& stream, int rounds) {
        for (int round = 0; round < rounds; ++round) {
            const int what = static_cast<int>(random() % 10);
            if (what < 5) {
                const size_t sizes[] = {1, 3, 14, 700, 4095, 4096, 9000};
                Bytes piece(sizes[random() % 7]);
                for (BYTE& b : piece) {
                    b = static_cast<BYTE>(random());
                }
                stream.Write(piece.data(), piece.size());
                if (model.size() < position + piece.size()) {
                    model.resize(position + piece.size());  // a gap before reads as zeros
                }
                std::copy(piece.begin(), piece.end(), model.begin() + position);
                position += static_cast<int64_t>(piece.size());
            } else if (what < 8) {
                const int32_t origin = static_cast<int32_t>(random() % 3);
                const int64_t base = origin == 0   ? 0
                                     : origin == 1 ? position
                                                   : static_cast<int64_t>(model.size());
                const int64_t target = static_cast<int64_t>(random() % (model.size() + 300));
                stream.Seek(origin, static_cast<int32_t>(target - base));
                position = target;
            } else if (what == 8 && position < static_cast<int64_t>(model.size())) {
                Bytes read(std::min<size_t>(1 + random() % 5000, model.size() - position));
                stream.Read(read.data(), read.size());
                ASSERT_TRUE(std::equal(read.begin(), read.end(), model.begin() + position))
                    << "round " << round;
                position += static_cast<int64_t>(read.size());
            }
            ASSERT_EQ(position, stream.Tell()) << "round " << round;
            ASSERT_EQ(static_cast<int64_t>(model.size()), stream.Length()) << "round " << round;
        }
    };
    FileBridgeStream created;
    created.Create(Path("model"), ReadWrite);
    check(created, 3000);
    created.Close();
    EXPECT_EQ(model, Content("model"));

    FileBridgeStream opened;
    opened.Open(Path("model"), ReadWrite);
    position = 0;
    check(opened, 1000);
    opened.Close();
    EXPECT_EQ(model, Content("model"));
}

TEST_F(FileSectionStreamTest, PositionsCountFromTheStartOffset) {
    FileSectionStream section;
    section.Create(Path("data"), Write);
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
    EXPECT_EQ("Invalid offset", ErrorText([&] { section.Seek(ISeekBridgeStream::SeekBegin, -1); }));
    EXPECT_EQ("Invalid offset",
              ErrorText([&] { section.Seek(ISeekBridgeStream::SeekCurrent, -4); }));
    EXPECT_EQ("Invalid offset", ErrorText([&] { section.Seek(ISeekBridgeStream::SeekEnd, -7); }));
    EXPECT_EQ("Invalid origin", ErrorText([&] { section.Seek(3, 0); }));
    EXPECT_EQ("Invalid origin", ErrorText([&] { section.Seek(-1, 0); }));
    EXPECT_EQ(3, section.Tell());

    EXPECT_EQ(6, section.MeasureGrowth());
    EXPECT_EQ(11, section.GetStartOffset());
    EXPECT_EQ(0, section.MeasureGrowth());
    section.Close();
    EXPECT_EQ((Bytes{'f', 'i', 'r', 's', 't', 's', 'E', 'c', 'o', 'n', 'd'}), Content("data"));

    // A section may start at a given offset, and is deleted like a file stream.
    {
        FileSectionStream offset(4);
        offset.Create(Path("offset"), ReadWrite);
        offset.Write("0123456789", 10);
        EXPECT_EQ(6, offset.Tell());
        offset.Seek(ISeekBridgeStream::SeekBegin, 0);
        EXPECT_EQ(4, offset.TellFile());
        char buffer[3] = {};
        offset.Read(buffer, 3);
        EXPECT_EQ("456", std::string(buffer, 3));
        EXPECT_EQ(10, offset.Length());
        EXPECT_EQ(3, offset.Tell());
        EXPECT_TRUE(Exists("offset"));
    }
    EXPECT_FALSE(Exists("offset"));
}
