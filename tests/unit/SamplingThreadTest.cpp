// The sampling kind's pieces that need no runtime: how samples become call-tree time on a record,
// how a walked stack becomes fuids, and the thread-id tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Profiler/Performance/ChildTable.h"
#include "Profiler/Performance/Sampling/SampleBuffer.h"
#include "Profiler/Performance/Sampling/SamplingThreadPool.h"
#include "Profiler/Performance/Sampling/ThreadIdTable.h"
#include "support/ErrorText.h"
#include "support/FixedFunctionGatherer.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ProgressRecorder.h"
#include "support/ScopedLog.h"

using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

void Collect(const CallNode& node, const std::string& path, std::vector<std::string>& lines) {
    auto visit = [&](const CallNode* pChild) {
        const std::string childPath =
            (path.empty() ? "" : path + "/") + std::to_string(pChild->m_Fuid);
        lines.push_back(childPath + " c=" + std::to_string(pChild->m_CallCount) +
                        " t=" + std::to_string(pChild->GetTotalTime()));
        Collect(*pChild, childPath, lines);
    };
    if (node.HasTable()) {
        const ChildTable& table = *node.GetTable();
        for (DWORD bucket = 0; bucket < table.GetBucketCount(); ++bucket) {
            for (const CallNode* p = table.GetBuckets()[bucket]; p != nullptr; p = p->m_pNext) {
                visit(p);
            }
        }
    } else {
        for (const CallNode* p = node.GetList(); p != nullptr; p = p->m_pNext) {
            visit(p);
        }
    }
}

// Every node but the root as "path c=calls t=time", sorted; the root's time first.
std::vector<std::string> Tree(const PerformanceThread& record) {
    std::vector<std::string> lines;
    Collect(record.GetRoot(), "", lines);
    std::sort(lines.begin(), lines.end());
    lines.insert(lines.begin(), "root t=" + std::to_string(record.GetRoot().GetTotalTime()));
    return lines;
}

class SamplingThreadTest : public testing::Test {
protected:
    void SetUp() override {
        m_Pool.Create(nullptr, ThreadRegistry::MergeNever, false, false);
        m_Pool.ThreadCreate(1);
    }
    SamplingThread& Record() { return *m_Pool.FindSamplingRecord(1); }
    void Sample(UINT64 time, std::vector<DWORD> fuids) { Record().AddSample(time, fuids); }

    MeasureGate m_Gate;
    SamplingThreadPool m_Pool{&m_Gate};
};

}  // namespace

TEST_F(SamplingThreadTest, EachStackIsChargedUntilTheThreadsNextSample) {
    struct Case {
        const char* name;
        std::vector<std::pair<UINT64, std::vector<DWORD>>> samples;  // from measuring at 100
        std::vector<std::string> tree;                               // stopped at 200
    };
    const Case cases[] = {
        {"no sample", {}, {"root t=100"}},
        {"one stack", {{110, {1, 2}}}, {"root t=100", "1 c=1 t=90", "1/2 c=1 t=90"}},
        {"stacks sharing a prefix",
         {{110, {1, 2}}, {130, {1, 3}}, {160, {1, 2}}},
         {"root t=100", "1 c=3 t=90", "1/2 c=2 t=60", "1/3 c=1 t=30"}},
        {"recursion and a fuid-0 frame",
         {{120, {1, 1}}, {150, {1, 0, 4}}},
         {"root t=100", "1 c=2 t=80", "1/0 c=1 t=50", "1/0/4 c=1 t=50", "1/1 c=1 t=30"}},
        {"an empty stack charges only the root",
         {{110, {1}}, {140, {}}},
         {"root t=100", "1 c=1 t=30"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record().Enable(100, false);
        for (const auto& [time, fuids] : c.samples) {
            Sample(time, fuids);
        }
        Record().Disable(200, false);
        EXPECT_THAT(Tree(Record()), ElementsAreArray(c.tree));
        m_Pool.Delete();
    }
}

TEST_F(SamplingThreadTest, TakesNoSampleWhileNotMeasuring) {
    Sample(10, {1, 2});
    EXPECT_EQ(Record().GetFrameCount(), 1u);
    EXPECT_THAT(Tree(Record()), ElementsAre("root t=0"));
}

// The last sample's stack is charged up to the stop; writing or deleting then drops its frames
// without time, so the next measuring starts from the root alone.
TEST_F(SamplingThreadTest, OpenFramesAreDroppedWithoutTimeWhenTheTreeGoes) {
    for (const std::string way : {"Delete", "WriteAndDelete"}) {
        SCOPED_TRACE(way);
        Record().Enable(100, false);
        Sample(150, {1, 2});
        Record().Disable(200, false);
        EXPECT_THAT(Tree(Record()), ElementsAre("root t=100", "1 c=1 t=50", "1/2 c=1 t=50"));
        EXPECT_EQ(Record().GetFrameCount(), 3u);
        if (way == "Delete") {
            Record().Delete();
        } else {
            MemorySnapShotStorage storage;
            ProgressRecorder progress;
            FixedFunctionGatherer functions;
            Record().WriteAndDelete(&progress, &storage, &functions);
            EXPECT_EQ(storage.Closed().size(), 5u);  // the tree was written
        }
        EXPECT_EQ(Record().GetFrameCount(), 1u);
        Record().Enable(1000, false);
        Sample(1010, {3});
        Record().Disable(1100, false);
        EXPECT_THAT(Tree(Record()), ElementsAre("root t=100", "3 c=1 t=90"));
        Record().Delete();
    }
}

TEST_F(SamplingThreadTest, RefusesToDropItsTreeWhileMeasuring) {
    ScopedLog log(0);
    Record().Enable(0, false);
    Sample(5, {1});
    MemorySnapShotStorage storage;
    ProgressRecorder progress;
    FixedFunctionGatherer functions;
    EXPECT_EQ(ErrorText([&] { Record().Delete(); }), "Should be stopped");
    EXPECT_EQ(ErrorText([&] { Record().WriteAndDelete(&progress, &storage, &functions); }),
              "Should be stopped");
    EXPECT_EQ(Record().GetFrameCount(), 2u);
    Record().Disable(9, false);
}

TEST(SampleBuffer, NormalisesAWalkToFuidsFromTheOutermostFrame) {
    struct Case {
        const char* name;
        std::vector<FunctionID> walked;  // innermost first
        std::vector<DWORD> fuids;        // outermost first
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"managed only", {0x30, 0x20, 0x10}, {0x11, 0x21, 0x31}},
        {"outermost 0 dropped", {0x20, 0x10, 0}, {0x11, 0x21}},
        {"inner 0 kept", {0x20, 0, 0x10, 0}, {0x11, 0, 0x21}},
        {"innermost 0 kept", {0, 0x10}, {0x11, 0}},
        {"only one outer 0 dropped", {0x10, 0, 0}, {0, 0x11}},
        {"lone 0", {0}, {}},
    };
    SampleBuffer buffer;
    for (const Case& c : cases) {
        buffer.Clear();
        for (FunctionID id : c.walked) {
            ASSERT_EQ(SampleBuffer::OnFrame(id, 0, 0, 0, nullptr, &buffer), S_OK);
        }
        buffer.Normalise([](FunctionID id) { return static_cast<DWORD>(id + 1); });
        EXPECT_THAT(buffer.Fuids(), ElementsAreArray(c.fuids)) << c.name;
    }
    buffer.AppendInnermost(7);
    EXPECT_THAT(buffer.Fuids(), ElementsAre(7));
    buffer.SetSingle(9);
    EXPECT_THAT(buffer.Fuids(), ElementsAre(9));
}

TEST(SampleBuffer, AFullBufferEndsTheWalk) {
    SampleBuffer buffer;
    for (size_t i = 0; i < SampleBuffer::Capacity; ++i) {
        ASSERT_EQ(SampleBuffer::OnFrame(i + 1, 0, 0, 0, nullptr, &buffer), S_OK);
    }
    EXPECT_EQ(SampleBuffer::OnFrame(1, 0, 0, 0, nullptr, &buffer), E_FAIL);
    EXPECT_EQ(buffer.Walked().size(), SampleBuffer::Capacity);
}

TEST(ThreadIdTable, AddsRemovesAndDrainsSlots) {
    ThreadIdTable<3> table;
    table.AddOnce(5);
    table.AddOnce(5);  // found before a free slot
    table.Add(7);
    table.Add(7);  // a suspension may be reported twice
    table.Add(9);  // full: dropped
    EXPECT_TRUE(table.Contains(7));
    EXPECT_FALSE(table.Contains(9));
    table.RemoveFirst(7);
    EXPECT_TRUE(table.Contains(7));
    table.AddOnce(8);  // into the freed middle slot
    table.RemoveAll(7);
    EXPECT_FALSE(table.Contains(7));
    EXPECT_EQ(table.Take(0), 5u);
    EXPECT_EQ(table.Take(1), 8u);
    EXPECT_EQ(table.Take(2), 0u);
    EXPECT_EQ(table.Take(0), 0u);
}

TEST(ThreadIdTable, AddOnceStopsAtTheFirstFreeSlot) {
    ThreadIdTable<3> table;
    table.Add(4);
    table.Add(5);
    table.RemoveFirst(4);  // a free slot before the id
    table.AddOnce(5);
    EXPECT_EQ(table.Take(0), 5u);
    EXPECT_EQ(table.Take(1), 5u);
}
