// The tracing kind over the scripted runtime, with the controller's Session on a loopback
// connection: which hooks it installs for the interfaces offered, the trees its hooks build (read
// back from the saved snapshot by the controller's reader), mismatched leaves, the Precision
// step, measuring switched while calls are open, suspensions, exception unwinding and native
// calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Controller/PerformanceSnapshot.h"
#include "Profiler/Performance/Tracing/HookStubs.h"
#include "Profiler/Performance/Tracing/PerformanceTracingProfiler.h"
#include "ProfilerOverLoopback.h"
#include "support/LogFileLines.h"

using Controller::EventKind;
using testing::ElementsAre;

namespace {

class TestTracingProfiler : public PerformanceTracingProfiler {
public:
    using PerformanceTracingProfiler::PerformanceTracingProfiler;
    PerformanceThreadPool& Pool() { return GetThreadPool(); }

protected:
    ~TestTracingProfiler() override = default;
};

struct Connection {
    uint8_t measureKind = 0;
    bool precision = false;
    bool startAtInitialization = true;
    bool allowInlining = true;
    int infoVersion = 10;
};

class TracingProfilerTest : public ProfilerOverLoopback<TestTracingProfiler> {
protected:
    TracingProfilerTest()
        : ProfilerOverLoopback(
              ComponentBit(LogComponent::FunctionEp) | ComponentBit(LogComponent::MapperEp) |
              ComponentBit(LogComponent::ExceptionCb) | ComponentBit(LogComponent::RuntimeCb) |
              ComponentBit(LogComponent::TransitionCb)) {}

    void Connect(const Connection& c) {
        m_Runtime.OfferInfoUpTo(c.infoVersion);
        Controller::SessionOptions options;
        options.performance.startAtInitialization = c.startAtInitialization;
        options.performance.measureKind = c.measureKind;
        options.performance.precision = c.precision;
        options.performance.allowInlining = c.allowInlining;
        ASSERT_NO_FATAL_FAILURE(
            ProfilerOverLoopback::Connect(options, u"{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}"));
        ASSERT_TRUE(m_pSession->WaitFor(
            c.startAtInitialization ? EventKind::Started : EventKind::Stopped, Patience));
        const ModuleID module = m_Runtime.LoadModule({u""});
        m_Functions.clear();
        m_Tokens.clear();
        mdToken token = 0x06000001;
        for (const char* name : {"Outer", "Middle", "Inner", "Leaf", "Native"}) {
            m_Functions[name] = m_Runtime.AddFunction(module, token);
            m_Tokens[token++] = name;
        }
        m_Tokens[0xFF000002] = "GC";
        m_Tokens[0xFF000001] = "Other";
    }

    void Enter(const char* name) { m_Runtime.CallEnterHook(m_Functions.at(name)); }
    void Leave(const char* name) { m_Runtime.CallLeaveHook(m_Functions.at(name)); }
    void Tailcall(const char* name) { m_Runtime.CallTailcallHook(m_Functions.at(name)); }
    FunctionID Id(const char* name) { return m_Functions.at(name); }

    void Start() {
        m_pSession->Start();
        ASSERT_TRUE(m_pSession->WaitFor(EventKind::Started, Patience));
    }

    // Saves the snapshot and reads it back: each thread's tree as "path c=calls" lines, with
    // " partly" and " special" for the flags, sorted; each node's total time goes to
    // m_TotalTimes under "thread:path".
    std::map<std::string, std::vector<std::string>> StopSave() {
        m_pSession->StopSave();
        auto saved = m_pSession->WaitFor(EventKind::Snapshot, Patience);
        EXPECT_TRUE(saved);
        EXPECT_TRUE(m_pSession->WaitFor(EventKind::Stopped, Patience));
        std::map<std::string, std::vector<std::string>> result;
        if (!saved) {
            return result;
        }
        m_TotalTimes.clear();
        const auto snapshot = Controller::ReadPerformanceSnapshot(*saved->snapshot);
        for (const Controller::CallTree& tree : snapshot.trees) {
            std::vector<std::string>& lines = result[tree.Thread().name];
            AddPaths(tree, tree.Root(), "", lines);
            std::sort(lines.begin(), lines.end());
        }
        return result;
    }

    void AddPaths(const Controller::CallTree& tree, const Controller::CallTreeNode& node,
                  const std::string& path, std::vector<std::string>& lines) {
        for (uint32_t index : tree.Children(node)) {
            const Controller::CallTreeNode& child = tree.Nodes()[index];
            auto it = m_Tokens.find(child.token);
            const std::string childPath =
                (path.empty() ? "" : path + "/") +
                (it != m_Tokens.end() ? it->second : std::to_string(child.token));
            std::string line = childPath + " c=" + std::to_string(child.calls);
            if (child.flags & Controller::CallTreeNode::MeasuredPartly) {
                line += " partly";
            }
            if (child.flags & Controller::CallTreeNode::Special) {
                line += " special";
            }
            lines.push_back(line);
            m_TotalTimes[tree.Thread().name + ":" + childPath] = child.totalTime;
            AddPaths(tree, child, childPath, lines);
        }
    }

    size_t CountLines(const std::string& text) {
        const std::vector<std::string> lines = ReadLogFileLines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    std::map<std::string, FunctionID> m_Functions;
    std::map<uint32_t, std::string> m_Tokens;
    std::map<std::string, uint64_t> m_TotalTimes;
};

}  // namespace

// Old, version-2 and (on x86-64) version-3 fast-path hooks build the same tree; a leave whose
// function is not the top frame's closes the top frame with a warning.
TEST_F(TracingProfilerTest, EachHookInterfaceBuildsTheSameTreeAndMismatchedLeavesCloseTheTop) {
    struct Case {
        int infoVersion;
        const char* installed;
        bool allowInlining;
    };
    const Case cases[] = {
        {1, "PTProf::OnBeginInitialize ELT", false},
        {2, "PTProf::OnBeginInitialize ELT2", true},
        {10,
         HookStubs::HasFastPath() ? "PTProf::OnBeginInitialize ELT3"
                                  : "PTProf::OnBeginInitialize ELT2",
         true},
    };
    // Lines that end in the text; one log serves every case.
    auto countEndingIn = [](const std::string& text) {
        const std::vector<std::string> log = ReadLogFileLines();
        return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.size() >= text.size() &&
                   line.compare(line.size() - text.size(), std::string::npos, text) == 0;
        });
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installed);
        const auto installedBefore = countEndingIn(c.installed);
        ASSERT_NO_FATAL_FAILURE(
            Connect({.allowInlining = c.allowInlining, .infoVersion = c.infoVersion}));
        EXPECT_EQ(m_Runtime.EventMask(),
                  (0x204u | 0x20011840u) | (c.allowInlining ? 0 : 0x200000u));
        EXPECT_EQ(countEndingIn(c.installed), installedBefore + 1);
        const size_t warningsAtStart = CountLines("WARNING: Unexpected function identifier");
        const ThreadID main = m_Runtime.StartThreadHere(u"main");
        Enter("Outer");
        for (int i = 0; i < 3; ++i) {
            Enter("Inner");
            Enter("Leaf");
            Leave("Leaf");
            Leave("Inner");
        }
        Enter("Middle");
        Tailcall("Middle");
        // Leaf is left as if it were Inner: Leaf's frame is closed all the same.
        Enter("Inner");
        Enter("Leaf");
        Leave("Inner");
        const size_t warningsBefore = CountLines("WARNING: Unexpected function identifier");
        Leave("Inner");
        Leave("Outer");
        auto trees = StopSave();
        EXPECT_THAT(trees["main"], ElementsAre("Outer c=1", "Outer/Inner c=4",
                                               "Outer/Inner/Leaf c=4", "Outer/Middle c=1"));
        EXPECT_EQ(warningsBefore, warningsAtStart + 1);
        EXPECT_EQ(CountLines("WARNING: Unexpected function identifier"), warningsAtStart + 1);
        EXPECT_THAT(m_Runtime.HookFaults(), ElementsAre());
        EXPECT_THAT(m_Runtime.FailedCallbacks(), testing::IsEmpty());
        m_Runtime.EndThreadHere(main);
        Disconnect();
    }
}

// A hook on a thread the registry does not know (not yet assigned to its OS thread) touches
// nothing, and hooks log under their own names.
TEST_F(TracingProfilerTest, HooksOnAThreadWithoutARecordTouchNothing) {
    ASSERT_NO_FATAL_FAILURE(Connect({.measureKind = 2, .precision = true}));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    Enter("Outer");
    std::thread unknown([this] {
        const ThreadID stranger = m_Runtime.AddThread();
        m_Runtime.BindToCurrentOSThread(stranger);
        Enter("Inner");
        Leave("Inner");
        Leave("Middle");
        m_Runtime.UnbindCurrentOSThread();
    });
    unknown.join();
    Leave("Outer");
    auto trees = StopSave();
    EXPECT_THAT(trees["main"], ElementsAre("Outer c=1"));
    EXPECT_EQ(trees.size(), 1u);
    EXPECT_EQ(CountLines("PTProf::RdtscPrecisionEnter fid="), 1u);
    EXPECT_EQ(CountLines("PTProf::RdtscPrecisionLeave fid="), 1u);
    EXPECT_EQ(CountLines("ERROR"), 0u);
    m_Runtime.EndThreadHere(main);
}

// Precision keeps the hooks' own work (here the log lines of the enter hook after its first
// reading) out of a leaf's time; Fast charges it to the leaf.
TEST_F(TracingProfilerTest, PrecisionKeepsTheHooksOwnWorkOutOfALeafsTime) {
    uint64_t leafTime[2] = {};
    for (bool precise : {false, true}) {
        SCOPED_TRACE(precise ? "precision" : "fast");
        // Version-2 hooks map the function and log twice per call after the first reading.
        ASSERT_NO_FATAL_FAILURE(Connect({.precision = precise, .infoVersion = 2}));
        const ThreadID main = m_Runtime.StartThreadHere(u"main");
        Enter("Outer");
        for (int i = 0; i < 200; ++i) {
            Enter("Leaf");
            Leave("Leaf");
        }
        Leave("Outer");
        auto trees = StopSave();
        EXPECT_THAT(trees["main"], ElementsAre("Outer c=1", "Outer/Leaf c=200"));
        leafTime[precise] = m_TotalTimes["main:Outer/Leaf"];
        m_Runtime.EndThreadHere(main);
        Disconnect();
    }
    RecordProperty("FastLeafTicks", std::to_string(leafTime[0]));
    RecordProperty("PrecisionLeafTicks", std::to_string(leafTime[1]));
    EXPECT_GT(leafTime[0], 0u);
    // The driver's own work between the hooks stays in both; the log lines make the difference
    // (about a third of the leaf's time in Fast mode; a Precision that kept them would come out
    // at or above Fast, so 80% leaves room for a loaded or emulated machine).
    EXPECT_LT(leafTime[1] * 5, leafTime[0] * 4)
        << "fast " << leafTime[0] << " precision " << leafTime[1];
}

// Calls open when measuring starts are attached to the tree flagged measured partly; so are
// calls still open when it stops.
TEST_F(TracingProfilerTest, StartAndStopWhileCallsAreOpenFlagThemMeasuredPartly) {
    ASSERT_NO_FATAL_FAILURE(Connect({.startAtInitialization = false}));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    Enter("Outer");
    Enter("Middle");
    Enter("Inner");  // closed again before measuring
    Leave("Inner");
    ASSERT_NO_FATAL_FAILURE(Start());
    Enter("Inner");
    Leave("Inner");
    Leave("Middle");
    Enter("Leaf");  // still open at the save
    auto trees = StopSave();
    EXPECT_THAT(trees["main"], ElementsAre("Outer c=0 partly", "Outer/Leaf c=1 partly",
                                           "Outer/Middle c=0 partly", "Outer/Middle/Inner c=1"));
    // The frames stay: measuring again counts the open calls once more, flagged.
    Leave("Leaf");
    ASSERT_NO_FATAL_FAILURE(Start());
    Leave("Outer");
    trees = StopSave();
    EXPECT_THAT(trees["main"], ElementsAre("Outer c=0 partly"));
    EXPECT_EQ(CountLines("Unexpected function identifier"), 0u);
    m_Runtime.EndThreadHere(main);
}

// A collection that suspends a measured thread becomes a special child of the running function;
// a suspension for shutdown adds none.
TEST_F(TracingProfilerTest, ACollectionBecomesASpecialNodeUnderTheRunningFunction) {
    ASSERT_NO_FATAL_FAILURE(Connect({.precision = true}));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    Enter("Outer");
    Enter("Inner");
    m_Runtime.SuspendForGc();
    m_Runtime.ResumeAfterGc();
    m_Runtime.SuspendForGc(COR_PRF_SUSPEND_FOR_SHUTDOWN);
    m_Runtime.ResumeAfterGc();
    Leave("Inner");
    m_Runtime.SuspendForGc(COR_PRF_SUSPEND_FOR_GC_PREP);
    m_Runtime.ResumeAfterGc();
    Leave("Outer");
    auto trees = StopSave();
    EXPECT_THAT(trees["main"], ElementsAre("Outer c=1", "Outer/GC c=1 special", "Outer/Inner c=1",
                                           "Outer/Inner/GC c=1 special"));
    EXPECT_EQ(CountLines("PTProf::RuntimeSuspendStarted reason=shutdown"), 1u);
    EXPECT_EQ(CountLines("Unexpected function identifier"), 0u);
    EXPECT_THAT(m_Runtime.FailedCallbacks(), testing::IsEmpty());
    m_Runtime.EndThreadHere(main);
}

// Thrown in Leaf, caught in Middle: the runtime unwinds Leaf and Inner with notifications in
// place of their leave hooks (Inner runs a finally block that calls Native on the way), and the
// catcher's frame stays open. A suspension frame on top at the unwind is closed first. In the last
// round Inner calls Leaf through native code: the runtime begins Leaf's unwind, never ends it, and
// throws again above the native code; the next unwind closes Leaf's frame.
TEST_F(TracingProfilerTest, UnwindingClosesTheUnwoundFramesAndKeepsTheCatcherOpen) {
    ASSERT_NO_FATAL_FAILURE(Connect({}));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    auto* p = m_pProfiler;
    Enter("Outer");
    for (int round = 0; round < 3; ++round) {
        Enter("Middle");
        Enter("Inner");
        Enter("Leaf");
        EXPECT_EQ(p->ExceptionThrown(0x5000), S_OK);
        EXPECT_EQ(p->ExceptionSearchFunctionEnter(Id("Leaf")), S_OK);
        if (round == 2) {
            EXPECT_EQ(p->ExceptionUnwindFunctionLeave(), S_OK);
            EXPECT_EQ(p->ExceptionUnwindFunctionEnter(Id("Leaf")), S_OK);
            EXPECT_EQ(p->ExceptionThrown(0x5000), S_OK);
            for (const char* unwound : {"Inner", "Middle"}) {
                EXPECT_EQ(p->ExceptionUnwindFunctionEnter(Id(unwound)), S_OK);
                EXPECT_EQ(p->ExceptionUnwindFunctionLeave(), S_OK);
            }
            EXPECT_EQ(p->ExceptionUnwindFunctionEnter(Id("Outer")), S_OK);
            EXPECT_EQ(p->ExceptionCatcherEnter(Id("Outer"), 0x5000), S_OK);
            Enter("Leaf");
            Leave("Leaf");
            break;
        }
        EXPECT_EQ(p->ExceptionSearchFunctionLeave(), S_OK);
        EXPECT_EQ(p->ExceptionSearchCatcherFound(Id("Middle")), S_OK);
        EXPECT_EQ(p->ExceptionUnwindFunctionEnter(Id("Leaf")), S_OK);
        m_Runtime.SuspendForGc();  // reported, never resumed on this thread's stack
        EXPECT_EQ(p->ExceptionUnwindFunctionLeave(), S_OK);
        m_Runtime.ResumeAfterGc();
        EXPECT_EQ(p->ExceptionUnwindFunctionEnter(Id("Inner")), S_OK);
        EXPECT_EQ(p->ExceptionUnwindFinallyEnter(Id("Inner")), S_OK);
        EXPECT_EQ(p->ManagedToUnmanagedTransition(Id("Native"), COR_PRF_TRANSITION_CALL), S_OK);
        EXPECT_EQ(p->UnmanagedToManagedTransition(Id("Native"), COR_PRF_TRANSITION_RETURN), S_OK);
        EXPECT_EQ(p->ExceptionUnwindFinallyLeave(), S_OK);
        EXPECT_EQ(p->ExceptionUnwindFunctionLeave(), S_OK);
        EXPECT_EQ(p->ExceptionUnwindFunctionEnter(Id("Middle")), S_OK);
        EXPECT_EQ(p->ExceptionCatcherEnter(Id("Middle"), 0x5000), S_OK);
        EXPECT_EQ(p->ExceptionCatcherLeave(), S_OK);
        // A stray notification closes nothing.
        EXPECT_EQ(p->ExceptionUnwindFunctionLeave(), S_OK);
        Leave("Middle");
    }
    Leave("Outer");
    auto trees = StopSave();
    EXPECT_THAT(trees["main"], ElementsAre("Outer c=1", "Outer/Leaf c=1", "Outer/Middle c=3",
                                           "Outer/Middle/Inner c=3", "Outer/Middle/Inner/Leaf c=3",
                                           "Outer/Middle/Inner/Leaf/GC c=2 special",
                                           "Outer/Middle/Inner/Native c=2"));
    EXPECT_EQ(CountLines("PTProf::ExceptionUnwindFunctionLeave status=unexpected"), 3u);
    EXPECT_EQ(CountLines("closed=1 (left through native code)"), 1u);
    EXPECT_EQ(CountLines("Unexpected function identifier"), 0u);
    EXPECT_EQ(CountLines("Unexpected exception function identifier"), 0u);
    EXPECT_THAT(m_Runtime.FailedCallbacks(), testing::IsEmpty());
    m_Runtime.EndThreadHere(main);
}
