// qvprof report over a performance snapshot laid out by hand: the hottest functions and the call
// tree with the figures the trees imply, per thread and merged, at the depth and threshold asked.
#include <gtest/gtest.h>

#include <string>

#include "Controller/ProtocolConstants.h"
#include "Controller/SectionTypes.h"
#include "Controller/SnapshotFile.h"
#include "ReportCommand.h"
#include "support/CallTreeBytes.h"
#include "support/MetaDataBlobs.h"
#include "support/ScratchDirectory.h"

using namespace Controller;

namespace {

// Methods of the crafted metadata at index 1.
constexpr uint32_t Run = 0x06000002, Go = 0x06000003, Get = 0x06000004;

void AddTree(Snapshot& snapshot, const CallTreeBytes& bytes) {
    const uint16_t types[] = {CallTreeSectionType, CallTreeAggregateSectionType,
                              CallTreeFunctionSectionType, CallTreeSingleSectionType,
                              CallTreePositionSectionType};
    const Bytes* parts[] = {&bytes.tree, &bytes.aggregates, &bytes.functions, &bytes.singles,
                            &bytes.positions};
    for (int i = 0; i < 5; ++i) {
        snapshot.sections.push_back(
            {types[i], static_cast<uint16_t>(i == 1 ? 1 : 0), true, *parts[i]});
    }
}

// Thread 1 "main": Run -> {Go -> Go, Get} and a flushed Run -> Get; thread 2 "worker": Go -> a
// garbage collection. 1000 ticks a second, so a tick is a millisecond.
std::string WriteSnapshot(const ScratchDirectory& scratch) {
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
                          {0, 0, 20, 0, 0, {{1, Go, 20, 1, 0, {{0, 0xFF000002, 5, 1, 2, {}}}}}}, {},
                          "worker", 2));
    AddTree(snapshot,
            BuildCallTreeBytes({0, 0, 50, 0, 0, {{1, Run, 50, 1, 0, {{1, Get, 50, 5, 0, {}}}}}}));
    const Bytes blob = MetaDataBlobs::CraftedMetaData(false);
    snapshot.sections.push_back(
        {MetaDataSectionType, 0, true,
         Concat({Le32(1), Le32(1), Le32(static_cast<uint32_t>(blob.size())), blob})});
    const std::string path = (scratch.Path() / "p.qvsnap").string();
    SnapshotFile::Write(path, snapshot);
    return path;
}

const std::string RunName = "N.S.Outer`2::Run", GoName = "N.S.Outer`2+Inner::Go",
                  GetName = "Top\\+Level::Get";

}  // namespace

TEST(QvprofReport, HottestFunctionsByOwnAndTotalTimeOverAllThreads) {
    ScratchDirectory scratch;
    Qvprof::ReportOptions options;
    options.views = {"hot"};
    const std::string text = Qvprof::ReportCommand::Report(WriteSnapshot(scratch), options);
    const std::string expected =
        "\nHottest functions, all threads (2 threads, 3 call trees): 170.000 ms measured\n"
        "By own time:\n"
        "  own ms      %  total ms  calls  function\n"
        "  80.000  47.1%    80.000      6  " +
        GetName +
        "\n"
        "  75.000  44.1%    80.000      6  " +
        GoName +
        " (recursive)\n"
        "  10.000   5.9%   150.000      2  " +
        RunName +
        "\n"
        "   5.000   2.9%     5.000      1  [garbage collection]\n"
        "By total time:\n"
        "  total ms      %  own ms  calls  function\n"
        "   150.000  88.2%  10.000      2  " +
        RunName +
        "\n"
        "    80.000  47.1%  75.000      6  " +
        GoName +
        " (recursive)\n"
        "    80.000  47.1%  80.000      6  " +
        GetName +
        "\n"
        "     5.000   2.9%   5.000      1  [garbage collection]\n";
    EXPECT_EQ(expected, text);
}

TEST(QvprofReport, CallTreeAtTheDepthAndThresholdAskedPerThreadOrMerged) {
    ScratchDirectory scratch;
    const std::string file = WriteSnapshot(scratch);
    const std::string head = "       %     total ms       own ms    calls  function\n";
    struct Case {
        size_t depth;
        double threshold;
        bool perThread;
        std::string expected;
    };
    const Case cases[] = {
        {12, 1.0, false,
         "\nCall tree, all threads (2 threads, 3 call trees): 170.000 ms measured\n" + head +
             "   88.2%      150.000       10.000        2  " + RunName +
             "\n"
             "   47.1%       80.000       80.000        6    " +
             GetName +
             "\n"
             "   35.3%       60.000       20.000        2    " +
             GoName +
             "\n"
             "   23.5%       40.000       40.000        3      " +
             GoName +
             "\n"
             "   11.8%       20.000       15.000        1  " +
             GoName +
             "\n"
             "    2.9%        5.000        5.000        1    [garbage collection]\n"},
        {12, 25.0, false,
         "\nCall tree, all threads (2 threads, 3 call trees): 170.000 ms measured\n" + head +
             "   88.2%      150.000       10.000        2  " + RunName +
             "\n"
             "   47.1%       80.000       80.000        6    " +
             GetName +
             "\n"
             "   35.3%       60.000       20.000        2    " +
             GoName +
             "\n"
             "  (3 calls under 25% or deeper than 12 levels left out)\n"},
        {1, 0.0, true,
         "\nCall tree, thread 1 \"main\" (2 call trees): 150.000 ms measured\n" + head +
             "  100.0%      150.000       10.000        2  " + RunName +
             "\n"
             "  (3 calls under 0% or deeper than 1 levels left out)\n"
             "\nCall tree, thread 2 \"worker\" (1 call tree): 20.000 ms measured\n" +
             head + "  100.0%       20.000       15.000        1  " + GoName +
             "\n"
             "  (1 call under 0% or deeper than 1 levels left out)\n"},
    };
    for (const Case& c : cases) {
        Qvprof::ReportOptions options;
        options.views = {"tree"};
        options.depth = c.depth;
        options.threshold = c.threshold;
        options.perThread = c.perThread;
        EXPECT_EQ(c.expected, Qvprof::ReportCommand::Report(file, options))
            << c.depth << " " << c.threshold;
    }
}

TEST(QvprofReport, ModulesCountTheMeasuredFunctions) {
    ScratchDirectory scratch;
    Qvprof::ReportOptions options;
    options.views = {"overview", "modules"};
    const std::string text = Qvprof::ReportCommand::Report(WriteSnapshot(scratch), options);
    EXPECT_NE(std::string::npos, text.find("0x1100        0      3"));
    EXPECT_NE(std::string::npos, text.find("call tree nodes"));
    EXPECT_NE(std::string::npos, text.find("  index  types  methods  functions  path\n"
                                           "      1"))
        << text;
    EXPECT_NE(std::string::npos, text.find("        3  [no file]")) << text;
}
