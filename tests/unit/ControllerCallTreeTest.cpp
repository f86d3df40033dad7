// The controller's call-tree reader on sections laid out by hand: every node, count, time and
// flag read back, every width at its limits, aggregate chunks, and each kind of damage refused
// with the section and byte it is found at.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "Controller/CallTreeReader.h"
#include "Controller/PerformanceHeaderSection.h"
#include "Controller/SectionTypes.h"
#include "support/Bytes.h"
#include "support/CallTreeBytes.h"
#include "support/ErrorText.h"

using namespace Controller;

namespace {

constexpr uint32_t A = 0x06000001, B = 0x06000002;

// root (100) -> A (90, 1 call) -> B (30, 3 calls, measured partly); root -> B (5, 2 calls).
// Widths I, O, Q, W, R all 1. Records: B at 17, B at 35, A at 53, root at 77.
// clang-format off
const Bytes HandTree = Concat({
    Le32(1), Le32(1), Bytes{1, 'w', 0}, Bytes{1, 1, 0, 1, 1}, Bytes{77},  // header, 17 bytes
    // index, token, parent, subtree, P position, P subtree, own, total, calls, flags, children
    Bytes{1}, Le32(B), Bytes{77, 17, 0, 0, 5, 5}, Le32(2), Bytes{0}, Le16(0),
    Bytes{1}, Le32(B), Bytes{53, 35, 1, 1, 30, 30}, Le32(3), Bytes{1}, Le16(0),
    Bytes{1}, Le32(A), Bytes{77, 35, 2, 1, 60, 90}, Le32(1), Bytes{0}, Le16(1),
    Bytes{1}, Le32(B), Bytes{35},
    Bytes{0}, Le32(0xFFFFFFFF), Bytes{0xFF, 17, 0xFF, 0xFF, 5, 100}, Le32(0), Bytes{0}, Le16(2),
    Bytes{1}, Le32(A), Bytes{53}, Bytes{1}, Le32(B), Bytes{17}});
const Bytes HandPositions{1, 1, 1};
const Bytes HandSingles = Concat({Bytes{1, 1}, Le32(1), Bytes{1}, Le32(A), Bytes{53}});
const Bytes HandFunctions = Concat({Bytes{1, 1}, Le32(1), Bytes{1}, Le32(B), Bytes{4}});
const Bytes HandAggregates = Concat({
    Bytes{1, 1, 1, 1},                                                      // I, R, O, W
    Bytes{35}, Le64(35), Le64(5), Bytes{17, 35, 1}, Le32(2), Bytes{29},     // B's summary at 4
    Bytes{0xFF, 17, 35}, Le16(2),                                           // its only chunk
    Bytes{35, 1}, Le32(A), Bytes{53, 30, 30}, Le32(3),                      // last instance first
    Bytes{17, 0}, Le32(0xFFFFFFFF), Bytes{77, 5, 5}, Le32(2)});
// clang-format on

TreeNodeSpec HandSpec() {
    return {0, 0, 100, 0, 0, {{1, A, 90, 1, 0, {{1, B, 30, 3, 0x01, {}}}}, {1, B, 5, 2, 0, {}}}};
}

struct Sections {
    SnapshotSection t{CallTreeSectionType, 0, true, {}},
        a{CallTreeAggregateSectionType, 1, true, {}}, f{CallTreeFunctionSectionType, 0, true, {}},
        s{CallTreeSingleSectionType, 0, true, {}}, p{CallTreePositionSectionType, 0, true, {}};
    explicit Sections(const CallTreeBytes& bytes) {
        t.bytes = bytes.tree, a.bytes = bytes.aggregates, f.bytes = bytes.functions;
        s.bytes = bytes.singles, p.bytes = bytes.positions;
    }
    CallTree Read() const { return CallTreeReader::Read({&t, &a, &f, &s, &p}); }
};

CallTreeBytes Hand() {
    CallTreeBytes bytes;
    bytes.tree = HandTree, bytes.aggregates = HandAggregates, bytes.functions = HandFunctions;
    bytes.singles = HandSingles, bytes.positions = HandPositions;
    return bytes;
}

}  // namespace

TEST(ControllerCallTree, ReadsEveryNodeOfATreeLaidOutByHand) {
    const CallTree tree = Sections(Hand()).Read();
    EXPECT_EQ(tree.Thread().recordNumber, 1u);
    EXPECT_EQ(tree.Thread().name, "w");
    const struct {
        uint32_t token;
        uint64_t offset, total, own;
        uint32_t calls, parent;
        uint8_t flags;
    } expected[] = {{B, 17, 5, 5, 2, 3, 0},
                    {B, 35, 30, 30, 3, 2, 0x01},
                    {A, 53, 90, 60, 1, 3, 0},
                    {0xFFFFFFFF, 77, 100, 5, 0, CallTreeNode::NoParent, 0}};
    ASSERT_EQ(tree.Nodes().size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const CallTreeNode& node = tree.Nodes()[i];
        EXPECT_EQ(node.metadataIndex, i == 3 ? 0u : 1u) << i;
        EXPECT_EQ(node.token, expected[i].token) << i;
        EXPECT_EQ(node.offset, expected[i].offset) << i;
        EXPECT_EQ(node.totalTime, expected[i].total) << i;
        EXPECT_EQ(node.ownTime, expected[i].own) << i;
        EXPECT_EQ(node.calls, expected[i].calls) << i;
        EXPECT_EQ(node.parent, expected[i].parent) << i;
        EXPECT_EQ(node.flags, expected[i].flags) << i;
    }
    const auto rootChildren = tree.Children(tree.Root());
    EXPECT_EQ(std::vector<uint32_t>(rootChildren.begin(), rootChildren.end()),
              (std::vector<uint32_t>{2, 0}));

    // The test builder lays out the same bytes, so the larger trees below follow the same layout.
    const CallTreeBytes built = BuildCallTreeBytes(HandSpec(), {1, 1, 1, 1, 1}, "w");
    EXPECT_EQ(built.tree, HandTree);
    EXPECT_EQ(built.positions, HandPositions);
    EXPECT_EQ(built.singles, HandSingles);
    EXPECT_EQ(built.functions, HandFunctions);
    EXPECT_EQ(built.aggregates, HandAggregates);
}

TEST(ControllerCallTree, ReadsEveryWidthAtItsLimits) {
    // A deep recursive chain and a wide fan-out; the recursive flag lands on every outer node.
    TreeNodeSpec root{0, 0, 0xFFFFFFFFFFFFFF, 0, 0, {}};
    TreeNodeSpec* pChain = &root;
    for (int depth = 0; depth < 40; ++depth) {
        pChain->children.push_back({0x01020304, A, 0xFFFFFFFFFFFFFFull - depth, 7, 0, {}});
        pChain = &pChain->children.back();
    }
    for (uint32_t i = 0; i < 30; ++i) {
        root.children.push_back({2, 0x06000100 + i, 0, 0xFFFFFFFF, 0x01, {}});
    }
    root.children.push_back({0, 0xFF000002, 0, 1, 0x02, {}});
    for (const CallTreeWidths widths :
         {CallTreeWidths{4, 8, 8, 7, 8}, CallTreeWidths{4, 3, 2, 7, 1}}) {
        const CallTree tree = Sections(BuildCallTreeBytes(root, widths)).Read();
        ASSERT_EQ(tree.Nodes().size(), 72u);
        EXPECT_EQ(tree.Root().totalTime, 0xFFFFFFFFFFFFFFu);
        size_t recursive = 0;
        for (const CallTreeNode& node : tree.Nodes()) {
            recursive += (node.flags & CallTreeNode::Recursive) != 0;
        }
        EXPECT_EQ(recursive, 39u);
        EXPECT_EQ(tree.Nodes()[0].calls, 1u);  // the fan-out's last child is written first
        EXPECT_EQ(tree.Nodes()[0].flags, CallTreeNode::Special);
    }
    // Offsets above 127 do not fit one byte: the top bit must stay free.
    EXPECT_EQ(ErrorText([&] {
                  Sections(BuildCallTreeBytes(root, {4, 1, 8, 7, 8})).Read();
              }),
              "Section 0x1100 at byte 170: position field holds the negative value 0xA1");
}

TEST(ControllerCallTree, ChainsAggregateChunksOfAThousandInstances) {
    // G under 1001 callers: one full chunk and a last chunk of one; 1000 callers: one chunk.
    for (const uint32_t callers : {1000u, 1001u}) {
        TreeNodeSpec root{0, 0, 1000000, 0, 0, {}};
        for (uint32_t i = 0; i < callers; ++i) {
            root.children.push_back({1, 0x06000100 + i, 10, 1, 0, {{1, B, 4, i, 0, {}}}});
        }
        const CallTreeBytes bytes = BuildCallTreeBytes(root, {1, 4, 4, 3, 4});
        // Header 4, summary 36, instances of 23 bytes, chunk heads of 14.
        const uint64_t chunks = (bytes.aggregates.size() - 4 - 36 - callers * 23) / 14;
        EXPECT_EQ(chunks, callers == 1000 ? 1u : 2u);
        EXPECT_EQ(Sections(bytes).Read().Nodes().size(), 2 * callers + 1);
        // The full chunk must hold exactly 1000: one instance fewer breaks the chain.
        if (callers == 1001) {
            Sections damaged(bytes);
            damaged.a.bytes.Vector()[4 + 12] = 0xE7;  // the first chunk's count, 1000 -> 999
            EXPECT_EQ(ErrorText([&] { damaged.Read(); }),
                      "Section 0x1101 at byte 16: chunk of function 1:0x06000002 holds 999 "
                      "instances; a full chunk 1000");
        }
    }
}

TEST(ControllerCallTree, RefusesDamageNamingSectionAndByte) {
    constexpr size_t End = SIZE_MAX;
    const struct {
        uint16_t section;
        size_t at;  // End: append; no bytes: cut the section there
        Bytes bytes;
        size_t errorAt;
        const char* error;
    } cases[] = {
        // clang-format off
        {0x1100, 11, {0}, 11, "index width 0 outside 1 to 4"},
        {0x1100, 13, {1}, 13, "the byte after the offset width is not 0"},
        {0x1100, 15, {8}, 15, "time width 8 outside 1 to 7"},
        {0x1100, 16, {53}, 16, "root offset 53 is not the last record, which starts at 77"},
        {0x1100, 106, {}, 106, "cut short: 1 bytes needed, 0 left"},
        {0x1100, 22, {53}, 22, "parent offset 53, but the record is a child of the record at 77"},
        {0x1100, 24, {0x80}, 24, "position field holds the negative value 0x80"},
        {0x1100, 44, {29}, 44, "own time 29; the total 30 less the children's gives 30"},
        {0x1100, 50, {0x04}, 50, "unknown flags 0x04"},
        {0x1100, 50, {0x81}, 50, "recursive flag set, but no node of function 1:0x06000002 lies "
                                 "below"},
        {0x1100, 50, {0x03}, 50, "special flag on function 1:0x06000002, which is no runtime "
                                 "suspension"},
        {0x1100, 59, {53}, 59, "subtree offset 53, but the subtree's first record starts at 35"},
        {0x1100, 60, {1}, 60, "position 1 in 0x1105; the record's entry is at 2"},
        {0x1100, 72, {1}, 71, "child entry names function 1:0x06000001 but the record at 35 holds "
                              "function 1:0x06000002"},
        {0x1100, 76, {36}, 76, "child offset 36 is not where a record starts"},
        {0x1100, 106, {35}, 106, "record at 35 is already the child of the record at 53"},
        {0x1100, 92, {0x80}, 92, "the root has flags 0x80; only 0x01 may be set"},
        {0x1105, 1, {2}, 1, "metadata index 2, but the record at 35 has 1"},
        {0x1105, End, {1}, 0, "holds 4 bytes; 3 entries of 1 bytes expected"},
        {0x1103, 1, {2}, 1, "offset width 2 differs from the tree's 1"},
        {0x1103, 2, {2}, 2, "announces 2 records of 6 bytes but holds 6 bytes of records"},
        {0x1103, 11, {35}, 11, "record offset 35; the node of function 1:0x06000001 is at 53"},
        {0x1103, 7, {2}, 6, "function 1:0x06000002 has 2 nodes; expected 1"},
        {0x1102, 11, {3}, 11, "aggregate position 3 lies outside the records of 0x1101 (60 bytes)"},
        {0x1102, 2, {0}, 2, "announces 0 records of 6 bytes but holds 6 bytes of records"},
        {0x1101, 3, {2}, 3, "time width 2 differs from the tree's 1"},
        {0x1101, 4, {36}, 4, "own time sum of function 1:0x06000002 is 36; its nodes give 35"},
        {0x1101, 21, {53}, 21, "lowest record offset of function 1:0x06000002 is 53; its nodes give "
                               "17"},
        {0x1101, 23, {0}, 23, "not-recursive flag of function 1:0x06000002 is 0; its nodes give 1"},
        {0x1101, 24, {3}, 24, "instance count of function 1:0x06000002 is 3; the tree has 2 nodes"},
        {0x1101, 28, {30}, 28, "the chunk after the summary of function 1:0x06000002 is said to be "
                               "at 30; the summary ends at 29"},
        {0x1101, 29, {40}, 29, "chunk link 40 of function 1:0x06000002 does not point back to an "
                               "earlier chunk"},
        {0x1101, 30, {18}, 30, "chunk bounds 18 to 35; its instances lie from 17 to 35"},
        {0x1101, 32, {0}, 32, "chunk of function 1:0x06000002 holds 0 instances; the last chunk "
                              "holds 1 to 1000"},
        {0x1101, 34, {53}, 34, "instance offset 53 is no node of function 1:0x06000002"},
        {0x1101, 47, {35}, 47, "the node at 35 is listed twice"},
        {0x1101, 40, {77}, 34, "the caller of the node at 35 is given as function 1:0x06000001 at "
                               "77; the tree has function 1:0x06000001 at 53"},
        {0x1101, 43, {4}, 34, "the instance of the node at 35 gives total 30, own 30, calls 4; the "
                              "node has 30, 30, 3"},
        {0x1101, End, {0}, 60, "bytes up to the end (61) belong to no summary or chunk"},
        // clang-format on
    };
    for (const auto& c : cases) {
        Sections sections(Hand());
        SnapshotSection* pTarget = &sections.t;
        for (SnapshotSection* pSection : {&sections.a, &sections.f, &sections.s, &sections.p}) {
            pTarget = pSection->type == c.section ? pSection : pTarget;
        }
        std::vector<BYTE>& bytes = pTarget->bytes.Vector();
        if (c.at == End) {
            bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
        } else if (c.bytes.empty()) {
            bytes.resize(c.at);
        } else {
            std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + c.at);
        }
        char prefix[40];
        std::snprintf(prefix, sizeof prefix, "Section 0x%04X at byte %zu: ", c.section, c.errorAt);
        EXPECT_EQ(ErrorText([&] { sections.Read(); }), prefix + std::string(c.error))
            << c.section << " " << c.at;
    }
    Sections wrongVersion(Hand());
    wrongVersion.a.version = 0;
    EXPECT_EQ(ErrorText([&] { wrongVersion.Read(); }),
              "Section 0x1101: layout version 0; expected 1");
    wrongVersion.a.closed = false;
    EXPECT_EQ(ErrorText([&] { wrongVersion.Read(); }),
              "Section 0x1101: missing, or never closed by the profiler");
}

TEST(ControllerPerformanceHeader, ReadsTheTimerFrequency) {
    SnapshotSection header{PerformanceHeaderSectionType, 0, true, Le64(10000000)};
    EXPECT_EQ(ReadPerformanceHeaderSection(header).frequency, 10000000u);
    header.bytes = Le64(0);
    EXPECT_EQ(ErrorText([&] { ReadPerformanceHeaderSection(header); }),
              "Section 0x1000 at byte 0: timer frequency 0");
    header.bytes = Concat({Le64(1000), Bytes{0}});
    EXPECT_EQ(ErrorText([&] { ReadPerformanceHeaderSection(header); }),
              "Section 0x1000 at byte 8: 1 bytes after the timer frequency");
}
