// The profile model over a performance snapshot built by hand: trees of one thread written in two
// parts, a second thread, names from the snapshot's metadata, seconds from its timer frequency,
// recursion counted once, callers and callees; and how the snapshot's sections are grouped.
#include <gtest/gtest.h>

#include <string>

#include "Controller/Profile.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SectionTypes.h"
#include "support/Bytes.h"
#include "support/CallTreeBytes.h"
#include "support/ErrorText.h"
#include "support/MetaDataBlobs.h"

using namespace Controller;

namespace {

// Methods of the crafted metadata at index 1.
constexpr uint32_t Run = 0x06000002, Go = 0x06000003, Get = 0x06000004;
constexpr uint32_t None = ProfileNode::NoFunction;

void AddTree(Snapshot& snapshot, const CallTreeBytes& bytes) {
    const uint16_t versions[] = {0, 1, 0, 0, 0};
    const Bytes* parts[] = {&bytes.tree, &bytes.aggregates, &bytes.functions, &bytes.singles,
                            &bytes.positions};
    const uint16_t types[] = {CallTreeSectionType, CallTreeAggregateSectionType,
                              CallTreeFunctionSectionType, CallTreeSingleSectionType,
                              CallTreePositionSectionType};
    for (int i = 0; i < 5; ++i) {
        snapshot.sections.push_back({types[i], versions[i], true, *parts[i]});
    }
}

// Thread 1 "main": Run -> {Go -> Go, Get}, then a flush of Run -> Get; thread 2 "worker":
// Go -> a garbage collection. Timer: 1000 ticks a second.
Snapshot TwoThreads() {
    Snapshot snapshot;
    snapshot.magic = PerformanceSnapshotMagic;
    snapshot.complete = true;
    snapshot.sections.push_back({PerformanceHeaderSectionType, 0, true, Le64(1000)});
    AddTree(snapshot,
            BuildCallTreeBytes(
                {0,
                 0,
                 100,
                 0,
                 0,
                 {{1,
                   Run,
                   100,
                   1,
                   0,
                   {{1, Go, 60, 2, 0, {{1, Go, 40, 3, 0, {}}}}, {1, Get, 30, 1, 0, {}}}}}}));
    AddTree(snapshot, BuildCallTreeBytes(
                          {0, 0, 20, 0, 0, {{1, Go, 20, 1, 0, {{0, 0xFF000002, 5, 1, 0x02, {}}}}}},
                          {}, "worker", 2));
    AddTree(snapshot,
            BuildCallTreeBytes({0, 0, 50, 0, 0, {{1, Run, 50, 1, 0, {{1, Get, 50, 5, 0, {}}}}}}));
    snapshot.sections.push_back(
        {MetaDataSectionType, 0, true,
         Concat({Le32(1), Le32(1),
                 Le32(static_cast<uint32_t>(MetaDataBlobs::CraftedMetaData(false).size())),
                 MetaDataBlobs::CraftedMetaData(false)})});
    return snapshot;
}

struct Figures {
    std::string name;
    uint64_t calls, total, own;
    bool recursive;
};

void ExpectFunctions(const Profile& profile, const ThreadProfile& thread,
                     const std::vector<Figures>& expected) {
    ASSERT_EQ(thread.functions.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const FunctionSummary& summary = thread.functions[i];
        EXPECT_EQ(profile.FunctionName(summary.function), expected[i].name) << i;
        EXPECT_EQ(summary.calls, expected[i].calls) << expected[i].name;
        EXPECT_EQ(summary.totalTicks, expected[i].total) << expected[i].name;
        EXPECT_EQ(summary.ownTicks, expected[i].own) << expected[i].name;
        EXPECT_EQ(summary.recursive, expected[i].recursive) << expected[i].name;
    }
}

std::vector<std::tuple<std::string, uint64_t, uint64_t>> Edges(
    const Profile& profile, const std::vector<FunctionEdge>& edges) {
    std::vector<std::tuple<std::string, uint64_t, uint64_t>> named;
    for (const FunctionEdge& edge : edges) {
        named.emplace_back(profile.FunctionName(edge.function), edge.calls, edge.totalTicks);
    }
    return named;
}

}  // namespace

TEST(ControllerProfile, MergesThreadsAndCountsRecursionOnce) {
    const Profile profile = Profile::Read(TwoThreads());
    EXPECT_DOUBLE_EQ(profile.Seconds(150), 0.15);
    ASSERT_EQ(profile.Threads().size(), 2u);
    const ThreadProfile& main = profile.Threads()[0];
    EXPECT_EQ(main.thread.name, "main");
    EXPECT_EQ(main.treeCount, 2u);
    EXPECT_EQ(main.tree.Root().totalTicks, 150u);
    const std::string run = "N.S.Outer`2::Run", go = "N.S.Outer`2+Inner::Go",
                      get = "Top\\+Level::Get";
    ExpectFunctions(profile, main,
                    {{run, 2, 150, 10, false}, {get, 6, 80, 80, false}, {go, 5, 60, 60, true}});
    const FunctionSummary& goSummary = main.functions[2];
    EXPECT_EQ(goSummary.nodes, 2u);
    EXPECT_EQ(goSummary.flags, CallTreeNode::Recursive);
    using Edge = std::tuple<std::string, uint64_t, uint64_t>;
    EXPECT_EQ(Edges(profile, goSummary.callers), (std::vector<Edge>{{run, 2, 60}, {go, 3, 0}}));
    EXPECT_EQ(Edges(profile, goSummary.callees), (std::vector<Edge>{{go, 3, 0}}));
    EXPECT_EQ(Edges(profile, main.functions[0].callers), (std::vector<Edge>{{"[thread]", 2, 150}}));
    EXPECT_EQ(Edges(profile, main.functions[0].callees),
              (std::vector<Edge>{{get, 6, 80}, {go, 2, 60}}));

    const ThreadProfile& worker = profile.Threads()[1];
    EXPECT_EQ(worker.thread.recordNumber, 2u);
    ExpectFunctions(profile, worker,
                    {{go, 1, 20, 15, false}, {"[garbage collection]", 1, 5, 5, false}});
    EXPECT_EQ(worker.functions[1].flags, CallTreeNode::Special);

    const ThreadProfile& all = profile.AllThreads();
    EXPECT_EQ(all.treeCount, 3u);
    EXPECT_EQ(all.tree.Root().totalTicks, 170u);
    ExpectFunctions(profile, all,
                    {{run, 2, 150, 10, false},
                     {go, 6, 80, 75, true},
                     {get, 6, 80, 80, false},
                     {"[garbage collection]", 1, 5, 5, false}});
    // The merged tree keeps paths apart: Go at the top (thread 2) and Go under Run (thread 1).
    std::vector<Edge> top;
    for (uint32_t child : all.tree.Root().children) {
        const ProfileNode& node = all.tree.Nodes()[child];
        top.emplace_back(profile.FunctionName(node.function), node.calls, node.totalTicks);
    }
    EXPECT_EQ(top, (std::vector<Edge>{{run, 2, 150}, {go, 1, 20}}));
    EXPECT_EQ(profile.FunctionName(None), "[thread]");
}

TEST(ControllerProfile, GroupsSectionsIntoTreesAndNamesTheBrokenOne) {
    Snapshot snapshot = TwoThreads();
    snapshot.sections[9].bytes.push_back(0);  // the second tree's S section
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Call tree 2 (snapshot sections 6 to 10): Section 0x1103 at byte 2: announces 2 "
              "records of 7 bytes but holds 15 bytes of records");

    snapshot = TwoThreads();
    snapshot.sections.erase(snapshot.sections.begin() + 8);
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Snapshot section 6 (0x1100) belongs to no whole call tree: snapshot section 8 is "
              "0x1103 where 0x1102 belongs");
    // In a snapshot that ended early the tree caught half written is left out.
    snapshot.complete = false;
    const PerformanceSnapshot partial = ReadPerformanceSnapshot(snapshot);
    EXPECT_EQ(partial.trees.size(), 2u);
    EXPECT_EQ(partial.unfinishedSections, 4u);

    snapshot.sections.erase(snapshot.sections.begin());
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Performance snapshot has no header section 0x1000");
    snapshot.magic = MemorySnapshotMagic;
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Snapshot magic 0x454D5651 is not a performance snapshot's");
}
