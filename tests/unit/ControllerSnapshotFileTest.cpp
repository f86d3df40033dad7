#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>

#include "Controller/FileSnapshotReader.h"
#include "Controller/SnapshotFile.h"
#include "support/ErrorText.h"
#include "support/ScratchDirectory.h"
#include "support/WireBytes.h"

using namespace Controller;
using namespace WireBytes;

namespace {

Snapshot SampleSnapshot() {
    Snapshot snapshot;
    snapshot.magic = 0x454D5651;
    snapshot.index = 3;
    snapshot.sequence = ProcessGuidValue;
    snapshot.sequenceNumber = 5;
    snapshot.complete = true;
    snapshot.origin = SnapshotOrigin::FileStorage;
    snapshot.sections.push_back({0x0000, 1, true, {'A', 'B'}});
    snapshot.sections.push_back({0x3100, 2, true, {}});
    return snapshot;
}

// SampleSnapshot's file, laid out by hand from the documented format.
Bytes SampleFileBytes() {
    return Concat({
        {0x51, 0x56, 0x53, 0x4E, 0x41, 0x50, 0x0D, 0x0A},  // magic
        U16(1), U16(0), U32(37),                           // version 1.0, header size
        U32(0x454D5651), U32(3), ProcessGuidBytes, U32(5),      // identity
        {0x01, 0x01}, U16(0), U32(2), {0x00},              // complete, file storage, 2, no note
        U16(0x0000), U16(1), U16(1), U16(0), U64(101), U64(2),
        U16(0x3100), U16(2), U16(1), U16(0), U64(103), U64(0),
        {'A', 'B'},
    });
}

Bytes ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ParseFailure(const Bytes& bytes) {
    try {
        SnapshotFile::Parse(bytes.data(), bytes.size(), "s.qvsnap");
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

void ExpectSameSnapshot(const Snapshot& expected, const Snapshot& actual) {
    EXPECT_EQ(expected.magic, actual.magic);
    EXPECT_EQ(expected.index, actual.index);
    EXPECT_EQ(expected.sequence, actual.sequence);
    EXPECT_EQ(expected.sequenceNumber, actual.sequenceNumber);
    EXPECT_EQ(expected.complete, actual.complete);
    EXPECT_EQ(expected.aborted, actual.aborted);
    EXPECT_EQ(expected.origin, actual.origin);
    EXPECT_EQ(expected.note, actual.note);
    ASSERT_EQ(expected.sections.size(), actual.sections.size());
    for (size_t i = 0; i < expected.sections.size(); ++i) {
        EXPECT_EQ(expected.sections[i].type, actual.sections[i].type) << i;
        EXPECT_EQ(expected.sections[i].version, actual.sections[i].version) << i;
        EXPECT_EQ(expected.sections[i].closed, actual.sections[i].closed) << i;
        EXPECT_EQ(expected.sections[i].bytes, actual.sections[i].bytes) << i;
    }
}

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
    using Storage = FileSnapshotReader::Storage;
    const Snapshot Read(const Bytes& index, std::initializer_list<Bytes> dataFiles,
                        Storage storage = Storage::Copy) const {
        WriteFile(IndexPath(), index);
        uint16_t number = 0;
        for (const Bytes& data : dataFiles) {
            WriteFile(FileSnapshotReader::DataFilePath(IndexPath(), number++), data);
        }
        return FileSnapshotReader::Read(IndexPath(), kLimit, storage);
    }

    ScratchDirectory m_Scratch;
};

}  // namespace

TEST(SnapshotFile, WritesTheDocumentedLayoutAndReadsItBack) {
    ScratchDirectory scratch;
    const auto path = scratch.Path() / "s.qvsnap";
    SnapshotFile::Write(path, SampleSnapshot());
    EXPECT_EQ(SampleFileBytes(), ReadAll(path));
    EXPECT_FALSE(std::filesystem::exists(scratch.Path() / "s.qvsnap.partial"));
    ExpectSameSnapshot(SampleSnapshot(), SnapshotFile::Read(path));

    EXPECT_EQ(ErrorText([] { SnapshotFile::Read("/nonexistent/dir/s.qvsnap"); }),
              "Can't open the snapshot file '/nonexistent/dir/s.qvsnap'");
    EXPECT_THROW(SnapshotFile::Write(scratch.Path() / "missing" / "s.qvsnap", SampleSnapshot()),
                 std::runtime_error);
}

TEST(SnapshotFile, KeepsAnIncompleteSnapshotMarkedWithItsNote) {
    Snapshot snapshot = SampleSnapshot();
    snapshot.complete = false;
    snapshot.aborted = true;
    snapshot.origin = SnapshotOrigin::BridgeStream;
    snapshot.note = std::string(200, 'n');  // a two-byte length
    snapshot.sections[1].closed = false;
    snapshot.sections[1].type = 0;
    snapshot.sections[1].bytes = {1, 2, 3};

    ScratchDirectory scratch;
    const auto path = scratch.Path() / "aborted.qvsnap";
    SnapshotFile::Write(path, snapshot);
    const Bytes bytes = ReadAll(path);
    ASSERT_GT(bytes.size(), 46u);
    EXPECT_EQ(0x02, bytes[16 + 28]);                     // aborted, not complete
    EXPECT_EQ(0x00, bytes[16 + 29]);                     // bridge stream
    EXPECT_EQ((Bytes{0x80, 0xC8}), Bytes(bytes.begin() + 52, bytes.begin() + 54));
    ExpectSameSnapshot(snapshot, SnapshotFile::Read(path));
}

TEST(SnapshotFile, RejectsDamageWithAMessageNamingIt) {
    const struct {
        size_t at;
        BYTE value;
        const char* message;
    } cases[] = {
        {6, '\n', "'s.qvsnap' is not a snapshot file"},  // a line-end conversion
        {101 - 8, 1, "section 1 (offset 103, 1 bytes) reaches beyond the end of the file"},
        {53 + 8, 60, "inside the header or the table"},  // the first section's offset
        {16 + 32 + 3, 0x10, "section table"},            // section count 0x10000002
        {53 + 4, 0, "never closed"},                     // complete, yet a section left open
        {16 + 28, 0x03, "both complete and aborted"},
        {16 + 29, 7, "unknown origin 7"},
        {12, 30, "fewer than the 36 required"},
        {53 + 9, 0x10, "reaches beyond the end of the file"},  // an offset past the end
        {52, 5, "the note in its header is cut short or malformed"},
    };
    for (const auto& c : cases) {
        Bytes damaged = SampleFileBytes();
        damaged[c.at] = c.value;
        EXPECT_NE(std::string::npos, ParseFailure(damaged).find(c.message))
            << ParseFailure(damaged);
    }
    const Bytes full = SampleFileBytes();
    for (size_t length = 0; length < full.size(); ++length) {
        EXPECT_NE("", ParseFailure(Bytes(full.begin(), full.begin() + length))) << length;
    }
    EXPECT_EQ("", ParseFailure(full));
}

TEST(SnapshotFile, RejectsANewerMajorVersionButReadsANewerMinorOne) {
    Bytes newerMajor = SampleFileBytes();
    newerMajor[8] = 2;
    EXPECT_EQ("The snapshot file 's.qvsnap' has format version 2.0, newer than this qvprof reads "
              "(1.x): use a newer qvprof",
              ParseFailure(newerMajor));

    // Version 1.1 with four more header bytes: the reader skips them by the header size.
    const Bytes newerMinor = Concat({
        {0x51, 0x56, 0x53, 0x4E, 0x41, 0x50, 0x0D, 0x0A},
        U16(1), U16(1), U32(41),
        U32(0x454D5651), U32(3), ProcessGuidBytes, U32(5),
        {0x01, 0x01}, U16(0), U32(2), {0x00}, {0xAA, 0xBB, 0xCC, 0xDD},
        U16(0x0000), U16(1), U16(1), U16(0), U64(105), U64(2),
        U16(0x3100), U16(2), U16(1), U16(0), U64(107), U64(0),
        {'A', 'B'},
    });
    const Snapshot snapshot = SnapshotFile::Parse(newerMinor.data(), newerMinor.size(), "n");
    ExpectSameSnapshot(SampleSnapshot(), snapshot);
}

TEST_F(FileSnapshotReaderTest, ReadsSectionsFromDataFilesInIndexOrderAndRemovesThem) {
    EXPECT_EQ("/d/P.0000", FileSnapshotReader::DataFilePath("/d/P", 0));
    EXPECT_EQ("/d/P.001A", FileSnapshotReader::DataFilePath("/d/P", 26));
    EXPECT_EQ("/d/P.FFFF", FileSnapshotReader::DataFilePath("/d/P", 0xFFFF));

    const Snapshot empty =
        Read({0x4D, 0x46, 0x51, 0x56, 0x50, 0x46, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}, {});
    EXPECT_EQ(0x46505651u, empty.magic);
    EXPECT_TRUE(empty.complete);
    EXPECT_EQ(SnapshotOrigin::FileStorage, empty.origin);
    EXPECT_TRUE(empty.sections.empty());

    // Sections 0 and 1 were open together (files 0 and 1); section 2 reused file 0. Mapped,
    // the sections view the files and keep their bytes once the files are removed.
    for (const Storage storage : {Storage::Copy, Storage::Map}) {
        const bool mapped = storage == Storage::Map;
        SCOPED_TRACE(mapped ? "mapped" : "copied");
        Snapshot snapshot = Read(
            Index(3, {Record(0x1100, 0, 2, 0), Record(0x1101, 3, 4, 1), Record(0x1102, 0, 1, 0)}),
            {{'a', 'a', 'c'}, {'b', 'b', 'b', 'b'}}, storage);
        FileSnapshotReader::Remove(IndexPath());
        for (const char* suffix : {"", ".0000", ".0001"}) {
            EXPECT_FALSE(std::filesystem::exists(IndexPath() + suffix)) << suffix;
        }
        ASSERT_EQ(3u, snapshot.sections.size());
        EXPECT_EQ(mapped, snapshot.sections[2].bytes.IsView());
        EXPECT_EQ((Bytes{'a', 'a'}), snapshot.sections[0].bytes);
        EXPECT_EQ(0x1101, snapshot.sections[1].type);
        EXPECT_EQ(3, snapshot.sections[1].version);
        EXPECT_TRUE(snapshot.sections[1].closed);
        EXPECT_EQ((Bytes{'b', 'b', 'b', 'b'}), snapshot.sections[1].bytes);
        EXPECT_EQ(Bytes{'c'}, snapshot.sections[2].bytes);
        EXPECT_EQ(0x1102, snapshot.sections[2].type);
        // Changing a view makes the bytes the section's own; its neighbour in the file keeps
        // viewing it.
        snapshot.sections[2].bytes.Vector().push_back('d');
        EXPECT_FALSE(snapshot.sections[2].bytes.IsView());
        EXPECT_EQ((Bytes{'c', 'd'}), snapshot.sections[2].bytes);
        EXPECT_EQ((Bytes{'a', 'a'}), snapshot.sections[0].bytes);
    }
}

TEST_F(FileSnapshotReaderTest, RejectsDamagedIndexOrDataFiles) {
    EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find("Can't open"));
    Bytes noMarker = Index(1, {Record(1, 0, 0, 0)});
    noMarker.resize(noMarker.size() - 2);
    Bytes trailing = Index(0, {});
    trailing.push_back(0);
    const struct {
        Bytes index;
        std::string message;
    } cases[] = {
        {{0x4D, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, "not a snapshot index file"},
        {{0x4D, 0x46, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF}, "shorter than an empty index"},
        {noMarker, "without its end marker"},
        {Index(2, {Record(1, 0, 0, 0)}), "lists 1 sections but its count says 2"},
        {Index(0, {Record(1, 0, 0, 0)}), "more sections than its count"},
        {trailing, "follow its end marker"},
        {Index(1, {Record(1, 0, UINT64_MAX, 0)}), "claims -1 bytes"},
        {Index(1, {Record(1, 0, 4, 2)}), "data file '" + IndexPath() + ".0002'"},
        {Index(2, {Record(1, 0, 4, 0), Record(2, 0, 4, 0)}),
         "section 1 (type 0x0002) reaches beyond the end of its data file"},
    };
    WriteFile(IndexPath() + ".0000", {1, 2, 3, 4, 5, 6, 7});
    for (const auto& c : cases) {
        WriteFile(IndexPath(), c.index);
        EXPECT_NE(std::string::npos, ReadFailure(IndexPath()).find(c.message))
            << ReadFailure(IndexPath());
    }
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
