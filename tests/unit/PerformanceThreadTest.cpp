#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Profiler/Performance/PerformanceThread.h"
#include "Profiler/ThreadRegistry.h"
#include "Util/Log.h"
#include "support/ErrorText.h"
#include "support/FixedFunctionGatherer.h"
#include "support/LogFileLines.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ProgressRecorder.h"
#include "support/ScopedLog.h"
#include "support/WireBytes.h"

using namespace WireBytes;
using testing::ElementsAre;

namespace {

class TreeRegistry : public ThreadRegistry {
protected:
    std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
        return std::make_unique<PerformanceThread>(number);
    }
};

struct Written {
    std::vector<std::string> progress;
    std::vector<std::pair<WORD, WORD>> closed;  // type and version, in closing order
    std::map<WORD, Bytes> sections;
};

// Variable-width little-endian value; all bytes 0xFF read as -1.
int64_t ReadSized(IReadBridgeStream& stream, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        value |= uint64_t{ReadU8(stream)} << (8 * i);
    }
    return value == (width == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * width)) - 1)
               ? -1
               : static_cast<int64_t>(value);
}

struct NodeRecord {
    DWORD token;
    DWORD calls;
    BYTE flags;
};

// The records of a tree section in the order written, read by the documented layout.
std::vector<NodeRecord> ReadNodes(const Bytes& tree, unsigned* pWidths = nullptr) {
    MemoryBridgeStream in(tree);
    ReadU32(in), ReadU32(in), ReadString(in), ReadString(in);
    const unsigned i = ReadU8(in), o = ReadU8(in), zero = ReadU8(in), q = ReadU8(in),
                   w = ReadU8(in);
    EXPECT_EQ(zero, 0u);
    ReadSized(in, o);
    if (pWidths != nullptr) {
        pWidths[0] = o, pWidths[1] = w, pWidths[2] = q;
    }
    std::vector<NodeRecord> nodes;
    while (in.GetRemaining() > 0) {
        ReadSized(in, i);
        NodeRecord node{ReadU32(in), 0, 0};
        for (unsigned width : {o, o, q, q, w, w}) {
            ReadSized(in, width);
        }
        node.calls = ReadU32(in);
        node.flags = ReadU8(in);
        for (DWORD child = ReadU16(in); child > 0; --child) {
            ReadSized(in, i), ReadU32(in), ReadSized(in, o);
        }
        nodes.push_back(node);
    }
    return nodes;
}

class PerformanceThreadTest : public testing::Test {
protected:
    void SetUp() override {
        m_Registry.Create(nullptr, ThreadRegistry::MergeNever, false, false);
        // Another thread first: the record under test is number 2, activated once, so a header
        // with the two fields swapped shows.
        m_Registry.ThreadCreate(2);
        m_Registry.ThreadCreate(1);
    }

    PerformanceThread& Record() { return static_cast<PerformanceThread&>(*m_Registry.Find(1)); }
    void Call(DWORD fuid, UINT64 enter, UINT64 leave) {
        Record().EnterFrame(fuid, enter);
        Record().LeaveFrame(fuid, leave);
    }
    Written Write() { return Write(Record()); }
    Written Write(PerformanceThread& record) {
        MemorySnapShotStorage storage;
        ProgressRecorder progress;
        record.WriteAndDelete(&progress, &storage, &m_Functions);
        Written written{progress.m_Calls, {}, {}};
        for (const auto& section : storage.Closed()) {
            written.closed.emplace_back(section.type, section.version);
            written.sections[section.type] = section.content;
        }
        EXPECT_EQ(storage.OpenCount(), 0u);
        return written;
    }

    TreeRegistry m_Registry;
    FixedFunctionGatherer m_Functions;
};

TEST_F(PerformanceThreadTest, SmallTreeWritesItsFiveSectionsByteForByte) {
    m_Registry.ThreadSetName(1, u"Main");
    PerformanceThread& record = Record();
    record.Enable(0, false);
    record.EnterFrame(1, 10);  // Main: A, B { A }, A
    Call(2, 20, 25);
    record.EnterFrame(3, 30);
    Call(2, 32, 40);
    record.LeaveFrame(3, 45);
    Call(2, 50, 54);
    record.LeaveFrame(1, 60);
    record.Disable(100, false);
    const Written written = Write();

    EXPECT_EQ(written.progress, (std::vector<std::string>{"Begin 20", "Step 1", "Step 1", "End"}));
    EXPECT_THAT(written.closed,
                ElementsAre(std::pair<WORD, WORD>{0x1105, 0}, std::pair{0x1103, 0},
                            std::pair{0x1102, 0}, std::pair{0x1101, 1}, std::pair{0x1100, 0}));
    // Widths I=1 O=1 Q=1 W=1. Records last child first: A'(20) B(38) A(62) Main(80) root(110).
    // A node record: index, token, then the one-byte fields parent offset, subtree offset, P
    // position, P subtree position, own time and total time; calls, flags, children.
    const auto node = [](BYTE index, DWORD token, const Bytes& narrow, DWORD calls,
                         std::initializer_list<Bytes> children) {
        const Bytes count = U16(static_cast<uint16_t>(children.size()));
        Bytes record = Concat({{index}, U32(token), narrow, U32(calls), {0}, count});
        for (const Bytes& child : children) {
            record = Concat({record, child});
        }
        return record;
    };
    const auto child = [](BYTE index, DWORD token, BYTE offset) {
        return Concat({{index}, U32(token), {offset}});
    };
    const DWORD a = 0x06000002, b = 0x06000003, main = 0x06000001;
    const Bytes header = Concat({U32(2), U32(1), ShortText("Main"), {0}, {1, 1, 0, 1, 1, 110}});
    EXPECT_EQ(
        written.sections.at(0x1100),
        Concat({header, node(2, a, {38, 20, 0, 0, 8, 8}, 1, {}),
                node(3, b, {80, 20, 1, 0, 7, 15}, 1, {child(2, a, 20)}),
                node(2, a, {80, 62, 2, 2, 9, 9}, 2, {}),
                node(1, main, {110, 20, 3, 0, 26, 50}, 1, {child(2, a, 62), child(3, b, 38)}),
                node(0, 0xFFFFFFFF, {0xFF, 20, 0xFF, 0xFF, 50, 100}, 0, {child(1, main, 80)})}));
    EXPECT_EQ(written.sections.at(0x1105), (Bytes{2, 3, 2, 1}));
    EXPECT_EQ(written.sections.at(0x1103),
              Concat({{1, 1}, U32(2), child(3, b, 38), child(1, main, 80)}));
    // The estimate over all three functions (143) needs R=2.
    EXPECT_EQ(written.sections.at(0x1102), Concat({{1, 2}, U32(1), {2}, U32(a), U16(4)}));
    // Function A: summary (own, total, calls, lowest, highest, not recursive, count, last chunk),
    // then its only chunk (no earlier chunk, lowest, highest, count, instances last first).
    const Bytes summary = Concat({{17}, U64(17), U64(3), {20, 62, 1}, U32(2), U16(30)});
    const Bytes chunk = Concat({U16(0xFFFF), {20, 62}, U16(2)});
    const Bytes second = Concat({{62}, child(1, main, 80), {9, 9}, U32(2)});
    const Bytes first = Concat({{20}, child(3, b, 38), {8, 8}, U32(1)});
    EXPECT_EQ(written.sections.at(0x1101), Concat({{1, 2, 1, 1}, summary, chunk, second, first}));

    // The tree is gone; what is left writes nothing.
    EXPECT_EQ(record.GetRoot().m_Time, 0u);
    EXPECT_TRUE(Write().sections.empty());
}

TEST_F(PerformanceThreadTest, EmptyTreeWritesNoSections) {
    Record().Enable(0, false);
    Record().Disable(50, false);
    EXPECT_EQ(Record().GetRoot().GetTotalTime(), 50u);
    const Written written = Write();
    EXPECT_TRUE(written.closed.empty());
    EXPECT_EQ(written.progress, (std::vector<std::string>{"Begin 20", "End"}));
    EXPECT_EQ(Record().GetRoot().m_Time, 0u);
    EXPECT_EQ(m_Functions.m_Lookups, 0);
}

TEST_F(PerformanceThreadTest, ChildrenTurnIntoPrimeTablesAndKeepTheirOrder) {
    struct Case {
        std::vector<DWORD> fuids;
        DWORD buckets;  // 0: still a list
        Bytes written;  // P: children in reverse iteration order, then the parent (100)
    };
    const Case cases[] = {
        {{1, 2, 3, 4}, 0, {4, 3, 2, 1, 100}},
        {{1, 2, 3, 4, 5}, 7, {5, 4, 3, 2, 1, 100}},
        {{9, 2, 5, 3, 1}, 7, {5, 3, 9, 2, 1, 100}},              // 9 and 2 share bucket 2
        {{1, 2, 3, 4, 5, 6, 7}, 7, {6, 5, 4, 3, 2, 1, 7, 100}},  // empty buckets fill up
        {{1, 2, 3, 4, 5, 6, 7, 8}, 13, {8, 7, 6, 5, 4, 3, 2, 1, 100}},
        {{1, 8, 15, 2, 3, 22}, 7, {3, 2, 22, 1, 8, 15, 100}},  // a chain grows at its end
    };
    for (const Case& c : cases) {
        Record().Enable(0, false);
        Record().EnterFrame(100, 0);
        for (DWORD fuid : c.fuids) {
            Call(fuid, 1, 2);
        }
        for (DWORD fuid : c.fuids) {  // found again, not added
            Call(fuid, 3, 4);
        }
        const CallNode& parent = *Record().GetRoot().GetList();
        ASSERT_EQ(parent.HasTable(), c.buckets != 0);
        if (c.buckets != 0) {
            EXPECT_EQ(parent.GetTable()->GetBucketCount(), c.buckets);
            EXPECT_EQ(parent.GetTable()->GetCount(), c.fuids.size());
        }
        Record().LeaveFrame(100, 10);
        Record().Disable(10, false);
        EXPECT_EQ(Write().sections.at(0x1105), c.written) << c.fuids.size() << " children";
    }
}

TEST(ChildTable, BucketIsTheFuidModuloTheBucketCount) {
    for (DWORD wanted = 1; wanted != 0; wanted *= 2) {  // every size up to 2350968209 buckets
        const DWORD buckets = ChildTable::BucketCountFor(wanted);
        const uint64_t inverse = ChildTable::InverseOf(buckets);
        for (DWORD fuid : {0u, 1u, buckets - 1, buckets, buckets + 1, 0x7FFFFFFFu, 0xFFFFFFFEu,
                           0xFFFFFFFFu, 2654435761u}) {
            EXPECT_EQ(ChildTable::Remainder(fuid, buckets, inverse), fuid % buckets) << fuid;
        }
    }
}

TEST_F(PerformanceThreadTest, CallCountsStopAtTheirLargestValue) {
    Record().Enable(0, false);
    Call(1, 0, 1);
    Record().GetRoot().GetList()->m_CallCount = 0xFFFFFFFE;
    Call(1, 1, 2);
    Call(1, 2, 3);
    Record().Disable(3, false);
    EXPECT_EQ(ReadNodes(Write().sections.at(0x1100)).at(0).calls, 0xFFFFFFFFu);
}

TEST_F(PerformanceThreadTest, WidthsGrowAtTheirBoundaries) {
    struct Case {
        size_t nameLength;
        DWORD children;
        UINT64 rootTime;
        unsigned o, w, q;
    };
    const Case cases[] = {
        {93, 1, 100, 1, 1, 1},  {94, 1, 100, 2, 1, 1},   // root record at 127, 128
        {1, 1, 255, 1, 1, 1},   {1, 1, 256, 1, 2, 1},    // root total 255, 256
        {1, 127, 100, 2, 1, 1}, {1, 128, 100, 2, 1, 2},  // P end 127, 128
    };
    for (const Case& c : cases) {
        TreeRegistry registry;
        registry.ThreadCreate(7);
        registry.ThreadSetName(7, WString(c.nameLength, u'n'));
        auto& record = static_cast<PerformanceThread&>(*registry.Find(7));
        record.Enable(0, false);
        for (DWORD fuid = 1; fuid <= c.children; ++fuid) {
            record.EnterFrame(fuid, 0);
            record.LeaveFrame(fuid, 0);
        }
        record.Disable(c.rootTime, false);
        SCOPED_TRACE(testing::Message() << c.nameLength << "/" << c.children << "/" << c.rootTime);
        const Bytes tree = Write(record).sections.at(0x1100);
        unsigned widths[3];
        ReadNodes(tree, widths);
        EXPECT_THAT(widths, ElementsAre(c.o, c.w, c.q));
        // The header's root offset names the last record.
        MemoryBridgeStream header(tree);
        header.Seek(ISeekBridgeStream::SeekBegin, static_cast<int32_t>(15 + c.nameLength));
        const int64_t rootSize = 1 + 4 + 2 * c.o + 2 * c.q + 2 * c.w + 7 + c.children * (5 + c.o);
        EXPECT_EQ(ReadSized(header, c.o), static_cast<int64_t>(tree.size()) - rootSize);
    }
}

// The aggregate section of a tree whose function 1 has `count` nodes (one under each of `count`
// callers): chunks before the summary, the summary, and the last chunk.
TEST_F(PerformanceThreadTest, AFunctionIsChunkedByThousandInstances) {
    for (DWORD count : {1000u, 1001u}) {
        Record().Enable(0, false);
        for (DWORD caller = 2; caller < count + 2; ++caller) {
            Record().EnterFrame(caller, 2 * caller);
            Call(1, 2 * caller, 2 * caller + 1);
            Record().LeaveFrame(caller, 2 * caller + 2);
        }
        Record().Disable(2 * count + 4, false);
        const Written written = Write();
        MemoryBridgeStream a(written.sections.at(0x1101)), f(written.sections.at(0x1102));
        const unsigned i = ReadU8(a), r = ReadU8(a), o = ReadU8(a), w = ReadU8(a);
        ASSERT_EQ(ReadU8(f), i);
        ASSERT_EQ(ReadU8(f), r);
        ASSERT_EQ(ReadU32(f), 1u);  // only function 1 has more than one node
        ReadSized(f, i), ReadU32(f);
        const int64_t summary = ReadSized(f, r);
        int64_t earlier = -1;
        if (count > 1000) {  // a full chunk, written when the 1001st instance came
            earlier = a.Tell();
            EXPECT_EQ(ReadSized(a, r), -1);
            ReadSized(a, o), ReadSized(a, o);
            EXPECT_EQ(ReadU16(a), 1000u);
            a.Seek(ISeekBridgeStream::SeekCurrent,
                   static_cast<int32_t>(1000 * (2 * o + i + 2 * w + 8)));
        }
        EXPECT_EQ(a.Tell(), summary);
        ReadSized(a, w);
        EXPECT_EQ(ReadU64(a), count);  // total times, 1 each
        EXPECT_EQ(ReadU64(a), count);  // calls
        ReadSized(a, o), ReadSized(a, o);
        EXPECT_EQ(ReadU8(a), 1u);  // not recursive
        EXPECT_EQ(ReadU32(a), count);
        const int64_t lastChunk = ReadSized(a, r);
        EXPECT_EQ(lastChunk, a.Tell());
        EXPECT_EQ(ReadSized(a, r), earlier);
        ReadSized(a, o), ReadSized(a, o);
        const DWORD last = count > 1000 ? count - 1000 : count;
        EXPECT_EQ(ReadU16(a), last);
        EXPECT_EQ(a.GetRemaining(), last * (2 * o + i + 2 * w + 8));
    }
}

TEST_F(PerformanceThreadTest, RecursionFlagsEveryNodeWithItsFunctionBelow) {
    Record().Enable(0, false);
    for (UINT64 t = 0; t < 3; ++t) {
        Record().EnterFrame(1, t);
    }
    Call(2, 3, 4);
    for (UINT64 t = 5; t < 8; ++t) {
        Record().LeaveFrame(1, t);
    }
    Call(2, 8, 9);
    Record().Disable(10, false);
    const Written written = Write();
    std::vector<BYTE> flags;
    for (const NodeRecord& node : ReadNodes(written.sections.at(0x1100))) {
        flags.push_back(node.flags);
    }
    // Written: 2 under root, then 2, 1, 1, 1 from the innermost out, then the root.
    EXPECT_EQ(flags, (std::vector<BYTE>{0, 0, 0, 0x80, 0x80, 0}));
    // Summaries in first-visit order: function 2 (not recursive), then 1 (recursive).
    MemoryBridgeStream a(written.sections.at(0x1101));
    const unsigned r = (ReadU8(a), ReadU8(a)), o = ReadU8(a), w = ReadU8(a);
    std::vector<BYTE> notRecursive;
    while (a.GetRemaining() > 0) {
        ReadSized(a, w), ReadU64(a), ReadU64(a), ReadSized(a, o), ReadSized(a, o);
        notRecursive.push_back(ReadU8(a));
        const DWORD instances = ReadU32(a);
        ReadSized(a, r), ReadSized(a, r), ReadSized(a, o), ReadSized(a, o);
        ASSERT_EQ(ReadU16(a), instances);
        a.Seek(ISeekBridgeStream::SeekCurrent,
               static_cast<int32_t>(instances * (2 * o + 1 + 2 * w + 8)));
    }
    EXPECT_EQ(notRecursive, (std::vector<BYTE>{1, 0}));
}

TEST_F(PerformanceThreadTest, MeasuringPartlyFlagsTheCallsOpenAtTheSwitch) {
    PerformanceThread& record = Record();
    record.EnterFrame(1, 0);  // not measuring: only the stack is kept
    record.EnterFrame(2, 0);
    EXPECT_EQ(record.GetInternalTimeCell(), nullptr);
    UINT64* pCell = record.Enable(10, true);
    EXPECT_EQ(pCell, record.GetInternalTimeCell());
    Call(3, 12, 14);
    record.EnterFrame(4, 15);
    record.EnterSpecialFrame(5, 16);  // a runtime suspension
    record.CloseTopFrame(17);
    record.Disable(30, true);
    std::vector<std::pair<DWORD, BYTE>> seen;  // call count and flags, in written order
    for (const NodeRecord& node : ReadNodes(Write().sections.at(0x1100))) {
        seen.emplace_back(node.calls, node.flags);
    }
    // 5 under 4, 4 and 3 under 2, then 2, 1 and the root: open calls count no call.
    EXPECT_EQ(seen, (std::vector<std::pair<DWORD, BYTE>>{
                        {1, 2}, {1, 1}, {1, 0}, {0, 1}, {0, 1}, {0, 1}}));

    // The frames stayed; a later Enable attaches them to a fresh tree.
    record.Enable(40, false);
    record.LeaveFrame(4, 41);
    record.LeaveFrame(2, 42);
    record.Disable(50, false);
    EXPECT_EQ(ReadNodes(Write().sections.at(0x1100)).size(), 4u);
}

TEST_F(PerformanceThreadTest, InconsistentTimesCountAsZeroWithAWarning) {
    ScopedLog log(0);
    PerformanceThread& record = Record();
    record.Enable(0, false);
    record.EnterFrame(1, 10);
    record.AddInternalTime(60);
    *record.GetInternalTimeCell() += 40;
    record.LeaveFrame(1, 20);  // 10 elapsed, 100 internal
    record.EnterFrame(2, 30);
    record.LeaveFrame(2, 29);  // wraps around
    record.Disable(1000, false);
    // The callee's internal time is not charged to the root either.
    EXPECT_EQ(record.GetRoot().GetTotalTime(), 900u);
    EXPECT_EQ(record.GetRoot().GetList()->GetTotalTime(), 0u);
    const std::string prefix = LogLinePrefix() + "WARNING: ";
    EXPECT_THAT(ReadLogLinesAfterRecord(),
                ElementsAre(prefix + "Invalid total/internal time relationship",
                            prefix + "Invalid total time"));
}

TEST_F(PerformanceThreadTest, FailuresNameTheirCause) {
    PerformanceThread& record = Record();
    PerformanceThread inactive(9);
    MemorySnapShotStorage storage;
    ProgressRecorder progress;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { inactive.Enable(0, false); }, "Thread is inactive"},
        {[&] { record.LeaveFrame(0, 0); }, "Stack is empty"},
        {[&] { record.Disable(0, false); }, "Already stopped"},
        {[&] { record.Enable(0, false); }, ""},
        {[&] { record.Enable(0, false); }, "Already started"},
        {[&] { record.CloseTopFrame(0); }, "Invalid index"},
        {[&] { record.Delete(); }, "Should be stopped"},
        {[&] { record.WriteAndDelete(&progress, &storage, &m_Functions); }, "Should be stopped"},
    };
    for (const auto& [action, text] : cases) {
        EXPECT_EQ(ErrorText(action), text.empty() ? "(nothing raised)" : text);
    }
}

TEST_F(PerformanceThreadTest, LogsItsOperationsUnderThreadGt) {
    ScopedLog log(ComponentBit(LogComponent::ThreadGt));
    Record().Enable(0, true);
    Call(1, 1, 2);
    Record().Disable(3, false);
    const DWORD arenaBytes = Record().GetArenaBytes();
    Write();
    Record().Delete();
    const std::string prefix = LogLinePrefix();
    EXPECT_THAT(ReadLogLinesAfterRecord(),
                ElementsAre(prefix + "PThrd::Enable id=00000002 measurePartly=true",
                            prefix + "PThrd::Disable id=00000002 measurePartly=false",
                            prefix + "PThrd::WriteAndDelete id=00000002 capacity=" +
                                std::to_string(arenaBytes),
                            prefix + "PThrd::Delete id=00000002"));
}

TEST_F(PerformanceThreadTest, SizeCountsWholeArenaBlocks) {
    EXPECT_EQ(Record().GetSize(), 4232u);
    Record().Enable(0, false);
    const DWORD perBlock = (65536 - sizeof(void*)) / sizeof(CallNode);
    for (DWORD fuid = 1; fuid <= perBlock + 1; ++fuid) {
        Call(fuid, 0, 0);
        // A wide node's tables come from the blocks too, so only the first nodes are exact.
        if (fuid == 4) {
            EXPECT_EQ(Record().GetSize(), 65536u + 4232u);
        }
    }
    EXPECT_GE(Record().GetSize(), 2u * 65536u + 4232u);
    Record().Disable(1, false);
    Record().Delete();
    EXPECT_EQ(Record().GetSize(), 4232u);
}

}  // namespace
