// The sampling kind's pieces that need no runtime: how samples become call-tree time on a record,
// how a walked stack becomes fuids, and the thread-id tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Profiler/Performance/Sampling/SampleBuffer.h"
#include "Profiler/Performance/Sampling/SamplingThreadPool.h"
#include "Profiler/Performance/Sampling/ThreadIdTable.h"
#include "support/CallTreePaths.h"
#include "support/ErrorText.h"
#include "support/FixedFunctionGatherer.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ProgressRecorder.h"

using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

class SamplingThreadTest : public testing::Test {
protected:
    void SetUp() override {
        m_Pool.Create(nullptr, ThreadRegistry::MergeNever, false, false);
        m_Pool.ThreadCreate(1);
    }
    SamplingThread& Record() { return *m_Pool.FindSamplingRecord(1); }
    void Sample(UINT64 time, std::vector<DWORD> fuids) { Record().AddSample(time, fuids); }
    // The root's time, then "path c=calls t=time" per node.
    std::vector<std::string> Tree() {
        std::vector<std::string> lines = CallTreePaths(
            Record().GetRoot(), [](const CallNode& node) { return std::to_string(node.m_Fuid); },
            [](const CallNode& node) {
                return " c=" + std::to_string(node.m_CallCount) +
                       " t=" + std::to_string(node.GetTotalTime());
            });
        lines.insert(lines.begin(), "root t=" + std::to_string(Record().GetRoot().GetTotalTime()));
        return lines;
    }

    MeasureGate m_Gate;
    SamplingThreadPool m_Pool{&m_Gate};
};

}  // namespace

TEST_F(SamplingThreadTest, EachStackIsChargedUntilTheThreadsNextSample) {
    struct Case {
        const char* name;
        std::vector<std::pair<UINT64, std::vector<DWORD>>> samples;  // measuring from 100
        std::vector<std::string> tree;                               // stopped at 200
    };
    const Case cases[] = {
        {"no sample", {}, {"root t=100"}},
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
    Sample(50, {9});  // not measuring: ignored
    for (const Case& c : cases) {
        Record().Enable(100, false);
        for (const auto& [time, fuids] : c.samples) {
            Sample(time, fuids);
        }
        Record().Disable(200, false);
        EXPECT_THAT(Tree(), ElementsAreArray(c.tree)) << c.name;
        m_Pool.Delete();
    }
}

// The last stack is charged up to the stop; writing or deleting then drops its frames without
// time (refused while measuring), so the next measuring starts from the root alone.
TEST_F(SamplingThreadTest, OpenFramesAreDroppedWithoutTimeWhenTheTreeGoes) {
    MemorySnapShotStorage storage;
    ProgressRecorder progress;
    FixedFunctionGatherer functions;
    for (const bool write : {false, true}) {
        Record().Enable(100, false);
        Sample(150, {1, 2});
        EXPECT_EQ(ErrorText([&] { Record().Delete(); }), "Should be stopped");
        Record().Disable(200, false);
        EXPECT_THAT(Tree(), ElementsAre("root t=100", "1 c=1 t=50", "1/2 c=1 t=50"));
        write ? Record().WriteAndDelete(&progress, &storage, &functions) : Record().Delete();
        EXPECT_EQ(Record().GetFrameCount(), 1u);
        Record().Enable(1000, false);
        Record().Disable(1100, false);
        EXPECT_THAT(Tree(), ElementsAre("root t=100"));
        Record().Delete();
    }
    EXPECT_EQ(storage.Closed().size(), 5u);  // the written tree's sections
}

TEST(SampleBuffer, NormalisesAWalkToFuidsFromTheOutermostFrame) {
    struct Case {
        std::vector<FunctionID> walked;  // innermost first
        std::vector<DWORD> fuids;        // outermost first
    };
    const Case cases[] = {
        {{}, {}},
        {{0x30, 0x20, 0x10}, {0x11, 0x21, 0x31}},
        {{0x20, 0, 0x10, 0}, {0x11, 0, 0x21}},  // outermost 0 dropped, inner 0 kept
        {{0, 0x10}, {0x11, 0}},
        {{0x10, 0, 0}, {0, 0x11}},  // only one outermost 0 dropped
        {{0}, {}},
    };
    SampleBuffer buffer;
    for (const Case& c : cases) {
        buffer.Clear();
        for (FunctionID id : c.walked) {
            ASSERT_EQ(SampleBuffer::OnFrame(id, 0, 0, 0, nullptr, &buffer), S_OK);
        }
        buffer.Normalise([](FunctionID id) { return static_cast<DWORD>(id + 1); });
        EXPECT_THAT(buffer.Fuids(), ElementsAreArray(c.fuids)) << testing::PrintToString(c.walked);
    }
    // A walk deeper than the buffer is cut off: the callback ends it.
    buffer.Clear();
    for (size_t i = 0; i < SampleBuffer::Capacity; ++i) {
        SampleBuffer::OnFrame(i + 1, 0, 0, 0, nullptr, &buffer);
    }
    EXPECT_EQ(SampleBuffer::OnFrame(1, 0, 0, 0, nullptr, &buffer), E_FAIL);
}

TEST(ThreadIdTable, AddsRemovesAndDrainsSlots) {
    ThreadIdTable<3> table;
    table.Add(4);
    table.Add(5);
    table.RemoveFirst(4);
    table.AddOnce(5);  // the search stops at the first free slot, before the 5
    table.AddOnce(5);  // and now at the 5
    table.Add(6);
    table.Add(7);  // full: dropped
    EXPECT_FALSE(table.Contains(7));
    table.RemoveAll(5);
    EXPECT_FALSE(table.Contains(5));
    EXPECT_EQ(table.Take(2), 6u);
    EXPECT_EQ(table.Take(2), 0u);
    EXPECT_EQ(table.Take(0) + table.Take(1), 0u);
}
