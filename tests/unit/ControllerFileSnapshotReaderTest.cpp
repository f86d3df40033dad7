#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "Controller/FileSnapshotReader.h"
#include "support/ScratchDirectory.h"
#include "support/WireBytes.h"

using namespace Controller;
using namespace WireBytes;

namespace {

constexpr int64_t kLimit = 1 << 20;

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// One 14-byte index record.
Bytes Record(uint16_t type, uint16_t version, uint64_t size, uint16_t dataFile) {
    return Concat({U16(type), U16(version), U64(size), U16(dataFile)});
}

Bytes Index(uint32_t count, std::initializer_list<Bytes> records) {
    Bytes bytes = Concat({{0x4D, 0x46}, U32(0x46505651), U32(count)});
    for (const Bytes& record : records) {
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    bytes.push_back(0xFF);
    bytes.push_back(0xFF);
    return bytes;
}

std::string ReadFailure(const std::string& indexPath) {
    try {
        FileSnapshotReader::Read(indexPath, kLimit);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

class FileSnapshotReaderTest : public testing::Test {
protected:
    std::string IndexPath() const { return (m_Scratch.Path() / "ssc1234.tmp").string(); }

    ScratchDirectory m_Scratch;
};

}  // namespace

TEST_F(FileSnapshotReaderTest, NamesDataFilesWithFourUpperCaseHexDigits) {
    EXPECT_EQ("/d/P.0000", FileSnapshotReader::DataFilePath("/d/P", 0));
    EXPECT_EQ("/d/P.001A", FileSnapshotReader::DataFilePath("/d/P", 26));
    EXPECT_EQ("/d/P.FFFF", FileSnapshotReader::DataFilePath("/d/P", 0xFFFF));
}

TEST_F(FileSnapshotReaderTest, ReadsTheTwelveByteEmptyIndex) {
    const Bytes empty = {0x4D, 0x46, 0x51, 0x56, 0x50, 0x46, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    WriteFile(IndexPath(), empty);
    const Snapshot snapshot = FileSnapshotReader::Read(IndexPath(), kLimit);
    EXPECT_EQ(0x46505651u, snapshot.magic);
    EXPECT_TRUE(snapshot.complete);
    EXPECT_EQ(SnapshotOrigin::FileStorage, snapshot.origin);
    EXPECT_TRUE(snapshot.sections.empty());
}

TEST_F(FileSnapshotReaderTest, ReadsTwoSectionsFromOneDataFile) {
    WriteFile(IndexPath(), Index(2, {Record(0x0000, 0, 5, 0), Record(0x1000, 3, 3, 0)}));
    WriteFile(IndexPath() + ".0000", {'h', 'e', 'l', 'l', 'o', 'x', 'y', 'z'});
    const Snapshot snapshot = FileSnapshotReader::Read(IndexPath(), kLimit);
    ASSERT_EQ(2u, snapshot.sections.size());
    EXPECT_EQ(0x0000, snapshot.sections[0].type);
    EXPECT_EQ((Bytes{'h', 'e', 'l', 'l', 'o'}), snapshot.sections[0].bytes);
    EXPECT_EQ(0x1000, snapshot.sections[1].type);
    EXPECT_EQ(3, snapshot.sections[1].version);
    EXPECT_TRUE(snapshot.sections[1].closed);
    EXPECT_EQ((Bytes{'x', 'y', 'z'}), snapshot.sections[1].bytes);
}

TEST_F(FileSnapshotReaderTest, ReadsSectionsSpreadOverTwoDataFilesInIndexOrder) {
    // Sections 0 and 1 were open together (files 0 and 1); section 2 reused file 0.
    WriteFile(IndexPath(), Index(3, {Record(0x1100, 0, 2, 0), Record(0x1101, 1, 4, 1),
                                     Record(0x1102, 0, 1, 0)}));
    WriteFile(IndexPath() + ".0000", {'a', 'a', 'c'});
    WriteFile(IndexPath() + ".0001", {'b', 'b', 'b', 'b'});
    const Snapshot snapshot = FileSnapshotReader::Read(IndexPath(), kLimit);
    ASSERT_EQ(3u, snapshot.sections.size());
    EXPECT_EQ((Bytes{'a', 'a'}), snapshot.sections[0].bytes);
    EXPECT_EQ((Bytes{'b', 'b', 'b', 'b'}), snapshot.sections[1].bytes);
    EXPECT_EQ(Bytes{'c'}, snapshot.sections[2].bytes);
    EXPECT_EQ(0x1102, snapshot.sections[2].type);

    FileSnapshotReader::Remove(IndexPath());
    EXPECT_FALSE(std::filesystem::exists(IndexPath()));
    EXPECT_FALSE(std::filesystem::exists(IndexPath() + ".0000"));
    EXPECT_FALSE(std::filesystem::exists(IndexPath() + ".0001"));
}

TEST_F(FileSnapshotReaderTest, RejectsDamagedIndexOrDataFiles) {
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("Can't open"));

    WriteFile(IndexPath(), {0x4D, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF});
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("not a snapshot index file"));

    WriteFile(IndexPath(), {0x4D, 0x46, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF});
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("shorter than an empty index"));

    Bytes noMarker = Index(1, {Record(1, 0, 0, 0)});
    noMarker.resize(noMarker.size() - 2);
    WriteFile(IndexPath(), noMarker);
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("without its end marker"));

    WriteFile(IndexPath(), Index(2, {Record(1, 0, 0, 0)}));
    EXPECT_NE(std::string::npos,
              ReadFailure(IndexPath()).find("lists 1 sections but its count says 2"));

    WriteFile(IndexPath(), Index(0, {Record(1, 0, 0, 0)}));
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("more sections than its count"));

    Bytes trailing = Index(0, {});
    trailing.push_back(0);
    WriteFile(IndexPath(), trailing);
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("follow its end marker"));

    WriteFile(IndexPath(), Index(1, {Record(1, 0, UINT64_MAX, 0)}));  // size -1
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("claims -1 bytes"));

    WriteFile(IndexPath(), Index(1, {Record(1, 0, 4, 2)}));
    EXPECT_NE(std::string::npos,
              ReadFailure(IndexPath()).find("data file '" + IndexPath() + ".0002'"));

    WriteFile(IndexPath(), Index(2, {Record(1, 0, 4, 0), Record(2, 0, 4, 0)}));
    WriteFile(IndexPath() + ".0000", {1, 2, 3, 4, 5, 6, 7});
    EXPECT_NE(std::string::npos,
              ReadFailure(IndexPath()).find("section 1 (type 0x0002) reaches beyond the end of "
                                            "its data file"));
}

// The index path comes from the profiled process: a FIFO there (whose open would wait for a
// writer), a directory, or a data file that is one of them is refused without being opened.
TEST_F(FileSnapshotReaderTest, RefusesFilesThatAreNotRegularFiles) {
    const std::string fifo = (m_Scratch.Path() / "fifo").string();
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    WriteFile(IndexPath(), Index(1, {Record(0x100, 0, 0, 0)}));
    std::filesystem::create_symlink(fifo, IndexPath() + ".0000");
    const struct {
        std::string index;
        std::string refused;
    } cases[] = {
        {fifo, "The snapshot index file '" + fifo + "' is not a regular file"},
        {m_Scratch.Path().string(), "is not a regular file"},
        {IndexPath(),
         "The data file '" + IndexPath() + ".0000' of the file snapshot is not a regular file"},
    };
    for (const auto& c : cases) {
        std::promise<std::string> failure;
        std::future<std::string> done = failure.get_future();
        std::thread reader([&] { failure.set_value(ReadFailure(c.index)); });
        const bool returned = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!returned) {
            // A writer releases a reader stuck in opening the FIFO, so that the test can end.
            close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        }
        reader.join();
        EXPECT_TRUE(returned) << c.index;
        EXPECT_NE(std::string::npos, done.get().find(c.refused)) << c.index;
    }
}
