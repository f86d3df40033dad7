#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "Controller/SnapshotFile.h"
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

}  // namespace

TEST(SnapshotFile, WritesTheDocumentedLayoutAndReadsItBack) {
    ScratchDirectory scratch;
    const auto path = scratch.Path() / "s.qvsnap";
    SnapshotFile::Write(path, SampleSnapshot());
    EXPECT_EQ(SampleFileBytes(), ReadAll(path));
    EXPECT_FALSE(std::filesystem::exists(scratch.Path() / "s.qvsnap.partial"));
    ExpectSameSnapshot(SampleSnapshot(), SnapshotFile::Read(path));
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

TEST(SnapshotFile, RejectsEveryTruncation) {
    const Bytes full = SampleFileBytes();
    for (size_t length = 0; length < full.size(); ++length) {
        EXPECT_NE("", ParseFailure(Bytes(full.begin(), full.begin() + length))) << length;
    }
    EXPECT_EQ("", ParseFailure(full));
}

TEST(SnapshotFile, RejectsDamageWithAMessageNamingIt) {
    Bytes badMagic = SampleFileBytes();
    badMagic[6] = '\n';  // a line-end conversion
    EXPECT_NE(std::string::npos, ParseFailure(badMagic).find("'s.qvsnap' is not a snapshot file"));

    Bytes beyondEnd = SampleFileBytes();
    beyondEnd[101 - 8] = 1;  // the second section's size
    EXPECT_NE(std::string::npos,
              ParseFailure(beyondEnd).find("section 1 (offset 103, 1 bytes) "
                                           "reaches beyond the end of the file"));

    Bytes insideTable = SampleFileBytes();
    insideTable[53 + 8] = 60;  // the first section's offset
    EXPECT_NE(std::string::npos, ParseFailure(insideTable).find("inside the header or the table"));

    Bytes hugeTable = SampleFileBytes();
    hugeTable[16 + 32 + 3] = 0x10;  // section count 0x10000002
    EXPECT_NE(std::string::npos, ParseFailure(hugeTable).find("section table"));

    Bytes unclosed = SampleFileBytes();
    unclosed[53 + 4] = 0;  // complete, yet the first section was never closed
    EXPECT_NE(std::string::npos, ParseFailure(unclosed).find("never closed"));

    Bytes contradictory = SampleFileBytes();
    contradictory[16 + 28] = 0x03;
    EXPECT_NE(std::string::npos, ParseFailure(contradictory).find("both complete and aborted"));

    Bytes unknownOrigin = SampleFileBytes();
    unknownOrigin[16 + 29] = 7;
    EXPECT_NE(std::string::npos, ParseFailure(unknownOrigin).find("unknown origin 7"));

    Bytes shortHeader = SampleFileBytes();
    shortHeader[12] = 30;
    EXPECT_NE(std::string::npos, ParseFailure(shortHeader).find("fewer than the 36 required"));
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

TEST(SnapshotFile, ReportsAMissingFileByName) {
    try {
        SnapshotFile::Read("/nonexistent/dir/s.qvsnap");
        FAIL() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("Can't open the snapshot file '/nonexistent/dir/s.qvsnap'", error.what());
    }
    ScratchDirectory scratch;
    EXPECT_THROW(SnapshotFile::Write(scratch.Path() / "missing" / "s.qvsnap", SampleSnapshot()),
                 std::runtime_error);
}

TEST(SnapshotFile, RandomDamageIsRejectedOrReadNeverMisread) {
    // Any byte may be hit: the parser must either refuse the file or return sections that lie
    // inside it; it must never read outside (the sanitizer builds watch that).
    const Bytes original = SampleFileBytes();
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 5000; ++round) {
        Bytes damaged = original;
        const int hits = 1 + static_cast<int>(next() % 4);
        for (int i = 0; i < hits; ++i) {
            damaged[next() % damaged.size()] = static_cast<BYTE>(next());
        }
        damaged.resize(damaged.size() - next() % 3);
        try {
            const Snapshot snapshot = SnapshotFile::Parse(damaged.data(), damaged.size(), "f");
            size_t total = 0;
            for (const SnapshotSection& section : snapshot.sections) {
                total += section.bytes.size();
            }
            EXPECT_LE(total, damaged.size()) << round;
        } catch (const std::runtime_error&) {
        }
    }
}
