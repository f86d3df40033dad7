#include <gtest/gtest.h>

#include <stdexcept>

#include "Controller/SectionBuffer.h"
#include "Controller/SnapshotAssembler.h"

using namespace Controller;

namespace {

using Bytes = std::vector<BYTE>;

Bytes Content(SectionBuffer& buffer) {
    return buffer.TakeBytes();
}

}  // namespace

TEST(SectionBuffer, SeekPastTheEndThenWriteLeavesZerosInTheGap) {
    SectionBuffer buffer(1024);
    buffer.Write("abc", 3);
    EXPECT_EQ(3, buffer.Tell());

    buffer.Seek(0, 6);  // past the end: the section does not grow yet
    EXPECT_EQ(6, buffer.Tell());
    EXPECT_EQ(3u, buffer.GetSize());
    buffer.Write("Z", 1);
    EXPECT_EQ(7u, buffer.GetSize());

    buffer.Seek(0, 1);  // back inside: overwrite in place
    buffer.Write("B", 1);
    buffer.Seek(2, -1);  // from the end
    EXPECT_EQ(6, buffer.Tell());
    buffer.Seek(1, -5);  // from the current position
    EXPECT_EQ(1, buffer.Tell());

    EXPECT_EQ((Bytes{'a', 'B', 'c', 0, 0, 0, 'Z'}), Content(buffer));
}

TEST(SectionBuffer, RefusesPositionsOutsideTheSectionAndUnknownOrigins) {
    SectionBuffer buffer(16);
    buffer.Write("0123456789", 10);
    EXPECT_THROW(buffer.Seek(0, -1), std::runtime_error);
    EXPECT_THROW(buffer.Seek(1, -11), std::runtime_error);
    EXPECT_THROW(buffer.Seek(2, 7), std::runtime_error);  // 17 > 16
    EXPECT_THROW(buffer.Seek(0, INT64_MAX), std::runtime_error);
    EXPECT_THROW(buffer.Seek(2, INT64_MIN), std::runtime_error);
    EXPECT_THROW(buffer.Seek(3, 0), std::runtime_error);
    EXPECT_EQ(10, buffer.Tell());  // a refused seek leaves the position

    buffer.Seek(0, 16);  // exactly at the limit is allowed; nothing more fits
    EXPECT_THROW(buffer.Write("x", 1), std::runtime_error);
    buffer.Seek(0, 14);
    EXPECT_THROW(buffer.PrepareWrite(3), std::runtime_error);
    EXPECT_EQ(10u, buffer.GetSize());
    buffer.Write("xy", 2);
    EXPECT_EQ(16u, buffer.GetSize());
}

TEST(SnapshotAssembler, KeepsCreationOrderWhateverTheCloseOrder) {
    SnapshotAssembler assembler(1024);
    assembler.Begin(0x46505651);
    const uint16_t first = assembler.CreateSection();
    const uint16_t second = assembler.CreateSection();
    EXPECT_NE(0, first);
    EXPECT_NE(first, second);

    assembler.GetSection(second).Write("22", 2);
    assembler.GetSection(first).Write("1", 1);
    assembler.CloseSection(second, 0x1100, 0);
    // The handle of a closed section is no longer usable.
    EXPECT_THROW(assembler.GetSection(second), std::runtime_error);
    assembler.CloseSection(first, 0x0000, 1);

    const GUID sequence = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const auto pSnapshot = assembler.Close(7, sequence, 9);
    EXPECT_FALSE(assembler.InProgress());
    EXPECT_TRUE(pSnapshot->complete);
    EXPECT_FALSE(pSnapshot->aborted);
    EXPECT_EQ(0x46505651u, pSnapshot->magic);
    EXPECT_EQ(7u, pSnapshot->index);
    EXPECT_EQ(sequence, pSnapshot->sequence);
    EXPECT_EQ(9u, pSnapshot->sequenceNumber);
    ASSERT_EQ(2u, pSnapshot->sections.size());
    EXPECT_EQ(0x0000, pSnapshot->sections[0].type);
    EXPECT_EQ(1, pSnapshot->sections[0].version);
    EXPECT_EQ(Bytes{'1'}, pSnapshot->sections[0].bytes);
    EXPECT_EQ(0x1100, pSnapshot->sections[1].type);
    EXPECT_EQ((Bytes{'2', '2'}), pSnapshot->sections[1].bytes);
}

TEST(SnapshotAssembler, SectionsLeftOpenMakeTheSnapshotIncomplete) {
    SnapshotAssembler assembler(1024);
    assembler.Begin(1);
    const uint16_t open = assembler.CreateSection();
    assembler.GetSection(open).Write("part", 4);
    const auto pClosed = assembler.Close(0, GUID{}, 0);
    EXPECT_FALSE(pClosed->complete);
    EXPECT_NE(std::string::npos, pClosed->note.find("1 section(s) still open"));
    ASSERT_EQ(1u, pClosed->sections.size());
    EXPECT_FALSE(pClosed->sections[0].closed);
    EXPECT_EQ((Bytes{'p', 'a', 'r', 't'}), pClosed->sections[0].bytes);

    assembler.Begin(1);
    assembler.CreateSection();
    const auto pAborted = assembler.Abort();
    EXPECT_TRUE(pAborted->aborted);
    EXPECT_FALSE(pAborted->complete);

    EXPECT_EQ(nullptr, assembler.Abandon("nothing in progress"));
    assembler.Begin(1);
    const auto pAbandoned = assembler.Abandon("the line broke");
    EXPECT_FALSE(pAbandoned->complete);
    EXPECT_FALSE(pAbandoned->aborted);
    EXPECT_EQ("the line broke", pAbandoned->note);
}

TEST(SnapshotAssembler, RefusesWhatTheProtocolDoesNotAllow) {
    SnapshotAssembler assembler(1024);
    EXPECT_THROW(assembler.CreateSection(), std::runtime_error);
    EXPECT_THROW(assembler.GetSection(1), std::runtime_error);
    EXPECT_THROW(assembler.Close(0, GUID{}, 0), std::runtime_error);
    EXPECT_THROW(assembler.Abort(), std::runtime_error);

    assembler.Begin(1);
    EXPECT_THROW(assembler.Begin(1), std::runtime_error);
    EXPECT_THROW(assembler.GetSection(0), std::runtime_error);
    EXPECT_THROW(assembler.CloseSection(42, 0, 0), std::runtime_error);
}

TEST(SnapshotAssembler, HandlesComeRoundWithoutHittingOpenOnes) {
    SnapshotAssembler assembler(16);
    assembler.Begin(1);
    const uint16_t kept = assembler.CreateSection();  // stays open throughout
    for (int i = 0; i < 70000; ++i) {
        const uint16_t handle = assembler.CreateSection();
        ASSERT_NE(0, handle);
        ASSERT_NE(kept, handle);
        assembler.CloseSection(handle, 1, 0);
    }
    EXPECT_NO_THROW(assembler.GetSection(kept));
}
