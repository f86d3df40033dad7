// The sampling kind over the scripted runtime, with its real sampling thread and the controller's
// Session on a loopback connection: the order of a turn, walk attempts, unwalkable samples,
// normalised stacks, suspensions, records without a handle and the recovery of unseen threads.
// Tests wait for walks the runtime reports; trees and log lines are read under the measure gate,
// so no turn is half done.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Process.h"
#include "Profiler/Performance/Sampling/PerformanceSamplingProfiler.h"
#include "ProfilerOverLoopback.h"
#include "support/CallTreePaths.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/WaitUntil.h"

using Controller::EventKind;
using Operation = TestRuntime::Operation;
using testing::Contains;
using testing::ElementsAre;
using testing::Not;

namespace {

class TestSamplingProfiler : public PerformanceSamplingProfiler {
public:
    using PerformanceSamplingProfiler::PerformanceSamplingProfiler;
    PerformanceThreadPool& Pool() { return GetThreadPool(); }
    using BasePerformanceProfiler::GetFunctionGatherer;

protected:
    ~TestSamplingProfiler() override = default;
};

class SamplingProfilerTest : public ProfilerOverLoopback<TestSamplingProfiler> {
protected:
    SamplingProfilerTest()
        : ProfilerOverLoopback(ComponentBit(LogComponent::PerformanceSamplingGt) |
                               ComponentBit(LogComponent::ThreadGt)) {}

    void SetUp() override {
        m_Runtime.SetProbe([this](Operation op) { Probe(op); });
    }

    void Connect(uint8_t measureKind, bool startAtInitialization, int infoVersion = 10) {
        m_Runtime.OfferInfoUpTo(infoVersion);
        Controller::SessionOptions options;
        options.performance.startAtInitialization = startAtInitialization;
        options.performance.measureKind = measureKind;
        ASSERT_NO_FATAL_FAILURE(
            ProfilerOverLoopback::Connect(options, u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}"));
        ASSERT_TRUE(m_pSession->WaitFor(
            startAtInitialization ? EventKind::Started : EventKind::Stopped, Patience));
        // A module without a file, two of its functions, and the names trees show.
        const ModuleID module = m_Runtime.LoadModule({u""});
        m_Outer = m_Runtime.AddFunction(module, 0x06000001);
        m_Inner = m_Runtime.AddFunction(module, 0x06000002);
        FunctionGatherer& functions = m_pProfiler->GetFunctionGatherer();
        m_Names = {{functions.MapFunction(m_Outer), "Outer"},
                   {functions.MapFunction(m_Inner), "Inner"},
                   {m_pProfiler->GetSpecialFuid(1), "GC"},
                   {m_pProfiler->GetSpecialFuid(4), "Unwalkable"}};
    }

    // What the runtime saw, a letter per operation (S suspend, W walk, R resume), and '!' after
    // one out of the turn's order: the runtime is suspended before the gate is taken, walked and
    // resumed under it.
    void Probe(Operation operation) {
        const MeasureGate& gate = m_pProfiler->GetMeasureGate();
        bool gateHeld = gate.IsWriterInside();
        // A command that switched measuring on may still hold the gate as the first turn
        // suspends; it lets go soon, while a turn holding it itself would keep it until resumed.
        for (int wait = 0; operation == Operation::SuspendRuntime && gateHeld && wait < 200;
             ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            gateHeld = gate.IsWriterInside();
        }
        const bool suspended = m_Runtime.IsSuspendedByProfiler();
        if (operation == Operation::SuspendRuntime && m_StartThreadAtSuspension.exchange(false)) {
            // A thread reports its OS thread in cooperative mode just as a turn suspends the
            // runtime; the suspension waits for that callback, so it must get the gate.
            m_Starting = std::async(std::launch::async, [this] {
                const ThreadID started = m_Runtime.AddThread();
                m_Runtime.NotifyThreadCreated(started);
                return m_Runtime.NotifyThreadAssignedToOSThread(started, 0x77);
            });
            m_StartedBeforeSuspension =
                m_Starting.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        }
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Trace += operation == Operation::SuspendRuntime  ? 'S'
                   : operation == Operation::ResumeRuntime ? 'R'
                                                           : 'W';
        const bool walk = operation == Operation::DoStackSnapshot;
        if (gateHeld == (operation == Operation::SuspendRuntime) ||
            (walk && m_Suspending && !suspended)) {
            m_Trace += '!';
        }
        m_Changed.notify_all();
    }
    size_t Walks() const { return std::count(m_Trace.begin(), m_Trace.end(), 'W'); }
    void WaitForWalks(size_t count) {
        std::unique_lock<std::mutex> lock(m_Lock);
        const size_t target = Walks() + count;
        ASSERT_TRUE(m_Changed.wait_for(lock, std::chrono::milliseconds(Patience),
                                       [&] { return Walks() >= target; }));
    }
    std::string TakeTrace() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return std::exchange(m_Trace, std::string());
    }

    // The thread's tree as "path c=calls" lines.
    std::vector<std::string> Paths(ThreadID threadId) {
        MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
        const PerformanceThread* pRecord = m_pProfiler->Pool().FindRecord(threadId);
        if (pRecord == nullptr) {
            return {"(no record)"};
        }
        return CallTreePaths(
            pRecord->GetRoot(),
            [this](const CallNode& node) {
                auto it = m_Names.find(node.m_Fuid);
                return it != m_Names.end() ? it->second : std::to_string(node.m_Fuid);
            },
            [](const CallNode& node) { return " c=" + std::to_string(node.m_CallCount); });
    }
    std::vector<std::string> PathsWithoutCalls(ThreadID threadId) {
        std::vector<std::string> paths = Paths(threadId);
        for (std::string& path : paths) {
            path.erase(path.find(" c="));
        }
        return paths;
    }
    size_t CountLines(const std::string& text) {
        { MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate()); }
        const std::vector<std::string> lines = ReadLogFileLines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    std::string Tid(ThreadID threadId) { return "tid=" + Hex(threadId); }

    FunctionID m_Outer = 0;
    FunctionID m_Inner = 0;
    std::map<DWORD, std::string> m_Names;

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::string m_Trace;
    bool m_Suspending = true;
    std::atomic<bool> m_StartThreadAtSuspension{false};
    bool m_StartedBeforeSuspension = false;
    std::future<HRESULT> m_Starting;
};

}  // namespace

TEST_F(SamplingProfilerTest, TurnSuspendsTheRuntimeAroundItsWalksUnderTheGate) {
    m_StartThreadAtSuspension = true;
    ASSERT_NO_FATAL_FAILURE(Connect(0, true));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    // Innermost first: Inner, unmanaged, Outer, and the unmanaged code the thread started in.
    m_Runtime.SetStack(main, {m_Inner, 0, m_Outer, 0});
    TakeTrace();
    WaitForWalks(6);
    EXPECT_THAT(PathsWithoutCalls(main), ElementsAre("Outer", "Outer/0", "Outer/0/Inner"));
    // Whole turns from the first suspension: suspend, walk each thread, resume.
    std::string trace = TakeTrace();
    trace.erase(0, trace.find('S'));
    trace.erase(trace.rfind('R') + 1);
    EXPECT_TRUE(std::regex_match(trace, std::regex("(SW+R)+"))) << trace;
    EXPECT_TRUE(m_StartedBeforeSuspension);
    EXPECT_EQ(m_Starting.get(), S_OK);
    // Suspended threads reported on the sampling thread itself are refused.
    std::vector<std::string> refused;
    for (const auto& result : m_Runtime.FailedCallbacks()) {
        refused.push_back(result.pName + std::string(result.hr == E_UNEXPECTED ? "" : " ?"));
    }
    EXPECT_THAT(refused, Contains("RuntimeThreadSuspended"));
    EXPECT_THAT(refused,
                testing::Each(testing::AnyOf("RuntimeThreadSuspended", "RuntimeThreadResumed")));
    EXPECT_GE(CountLines("PSProf::DoWorkThread " + Tid(main) + " res=ok"), 2u);

    // The save stops measuring, and the last stack's frames go without further time.
    m_pSession->StopSave();
    ASSERT_TRUE(m_pSession->WaitFor(EventKind::Snapshot, Patience));
    MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
    EXPECT_EQ(m_pProfiler->Pool().FindRecord(main)->GetFrameCount(), 1u);
}

struct AttemptCase {
    HRESULT hr;
    unsigned failures;
    const char* firstTurn;  // what the runtime saw
    bool unwalkable;
};

class SamplingAttemptsTest : public SamplingProfilerTest,
                             public testing::WithParamInterface<int> {};

// Where the runtime offers its suspension (info version 10) the turn holds the threads still, so a
// refused walk stays refused and is not retried; without it (the device) a walk is tried up to
// four times.
TEST_P(SamplingAttemptsTest, RefusedWalksAreRetriedOnlyWhileTheThreadsRun) {
    const bool suspends = GetParam() == 10;
    const std::vector<AttemptCase> cases =
        suspends
            ? std::vector<AttemptCase>{{CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX, 1, "SWR", true},
                                       {CORPROF_E_STACKSNAPSHOT_UNSAFE, 1, "SWR", true},
                                       {E_FAIL, 1, "SWR", true}}
            : std::vector<AttemptCase>{{CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX, 4, "WWWW", true},
                                       {CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX, 3, "WWWW", false},
                                       {CORPROF_E_STACKSNAPSHOT_UNSAFE, 1, "WW", false},
                                       {E_FAIL, 1, "W", true}};
    m_Suspending = suspends;
    ASSERT_NO_FATAL_FAILURE(Connect(0, false, GetParam()));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Outer});
    for (const AttemptCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.hr << " x" << c.failures);
        char failed[32];
        std::snprintf(failed, sizeof failed, "res=failed hr=%08X", static_cast<unsigned>(c.hr));
        const size_t failedBefore = CountLines(failed);
        m_Runtime.FailNext(Operation::DoStackSnapshot, c.hr, c.failures);
        TakeTrace();
        m_pSession->Start();
        ASSERT_TRUE(m_pSession->WaitFor(EventKind::Started, Patience));
        WaitForWalks(c.failures + 2);
        const auto paths = Paths(main);
        EXPECT_THAT(paths, Contains(testing::StartsWith("Outer c=")));
        if (c.unwalkable) {
            EXPECT_THAT(paths, Contains("Unwalkable c=1"));
        } else {
            EXPECT_THAT(paths, Not(Contains(testing::StartsWith("Unwalkable"))));
        }
        // A turn that suspended just as the last case stopped resumes without walking, possibly
        // after the trace was taken: its tail and any such empty turn are no part of this case.
        std::string trace = std::regex_replace(TakeTrace(), std::regex("^R|SR"), "");
        EXPECT_EQ(trace.substr(0, std::string(c.firstTurn).size()), c.firstTurn);
        EXPECT_EQ(CountLines(failed), failedBefore + (c.unwalkable ? 1 : 0));
        m_pSession->StopDrop();
        ASSERT_TRUE(m_pSession->WaitFor(EventKind::Stopped, Patience));
    }
}

INSTANTIATE_TEST_SUITE_P(InfoVersions, SamplingAttemptsTest, testing::Values(10, 2));

TEST_F(SamplingProfilerTest, ThreadTimeSkipsARecordWithoutAThreadHandle) {
    ASSERT_NO_FATAL_FAILURE(Connect(1, true));
    // Created, never assigned to an OS thread: the runtime gave no handle for it.
    const ThreadID unassigned = m_Runtime.AddThread();
    m_Runtime.NotifyThreadCreated(unassigned);
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Outer});
    WaitForWalks(2);
    EXPECT_GE(CountLines(Tid(unassigned) + " res=no_handle"), 2u);
    EXPECT_THAT(Paths(unassigned), ElementsAre());
    EXPECT_THAT(PathsWithoutCalls(main), ElementsAre("Outer"));
}

// Where the runtime offers no suspension (the device) the walks run while the threads do, and a
// thread held for a collection shows the collection as its innermost frame.
TEST_F(SamplingProfilerTest, WithoutRuntimeSuspensionAGcSuspendedThreadShowsTheCollection) {
    m_Suspending = false;
    ASSERT_NO_FATAL_FAILURE(Connect(0, true, 2));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Inner, m_Outer});
    for (COR_PRF_SUSPEND_REASON reason : {COR_PRF_SUSPEND_FOR_GC, COR_PRF_SUSPEND_FOR_GC_PREP}) {
        // A walk under way as the collection begins may miss it; of three, two see it.
        m_Runtime.SuspendForGc(reason);
        WaitForWalks(3);
        m_Runtime.ResumeAfterGc();
    }
    EXPECT_THAT(PathsWithoutCalls(main), ElementsAre("Outer", "Outer/Inner", "Outer/Inner/GC"));
    EXPECT_GE(CountLines(Tid(main) + " res=ok_suspend"), 4u);
    EXPECT_EQ(m_Runtime.CallCount(Operation::SuspendRuntime), 0u);
    EXPECT_EQ(TakeTrace().find('!'), std::string::npos);
    EXPECT_TRUE(m_Runtime.FailedCallbacks().empty());
}

TEST_F(SamplingProfilerTest, ATurnDuringACollectionIsSkippedQuietly) {
    ASSERT_NO_FATAL_FAILURE(Connect(0, true));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Outer});
    m_Runtime.SuspendForGc();
    EXPECT_TRUE(
        WaitUntil([&] { return CountLines("PSProf::DoWorkThread turn=skipped hr=80131388") > 0; }));
    m_Runtime.ResumeAfterGc();
    WaitForWalks(1);
    // The collection's reason never reaches a sample taken under the turn's own suspension.
    EXPECT_THAT(PathsWithoutCalls(main), ElementsAre("Outer"));
    EXPECT_EQ(CountLines("WARNING"), 0u);
}

// No turn runs while nothing is measured, so the recovery at each resumption gets the gate.
TEST_F(SamplingProfilerTest, RecoveryMakesRecordsForThreadsFirstSeenInASuspension) {
    ASSERT_NO_FATAL_FAILURE(Connect(0, false));
    const ThreadID gathered = m_Runtime.AddThread();  // never reported to the profiler
    m_Runtime.SetOSThreadId(gathered, 0x4242);
    m_Runtime.SetStack(gathered, {m_Outer});
    m_Runtime.SuspendForGc();
    EXPECT_THAT(Paths(gathered), ElementsAre("(no record)"));
    m_Runtime.ResumeAfterGc();
    // The thread resuming the runtime, managed but unknown, is recovered as the current one.
    const ThreadID current = m_Runtime.AddThread();
    m_Runtime.BindToCurrentOSThread(current);
    m_Runtime.SuspendForGc();
    m_Runtime.ResumeAfterGc();
    m_Runtime.UnbindCurrentOSThread();
    EXPECT_EQ(CountLines("PSProf::RecoveryThread " + Tid(gathered) + " recoveryType='gather'"), 1u);
    EXPECT_EQ(CountLines("PSProf::RecoveryThread " + Tid(current) + " recoveryType='current'"), 1u);
    EXPECT_EQ(CountLines("recoveryType="), 2u);
    EXPECT_TRUE(m_Runtime.FailedCallbacks().empty());

    m_pSession->Start();
    ASSERT_TRUE(m_pSession->WaitFor(EventKind::Started, Patience));
    WaitForWalks(4);
    EXPECT_THAT(PathsWithoutCalls(gathered), ElementsAre("Outer"));
    MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
    EXPECT_EQ(m_pProfiler->Pool().FindRecord(gathered)->GetOSThreadId(), 0x4242u);
    EXPECT_EQ(m_pProfiler->Pool().FindRecord(current)->GetOSThreadId(),
              Platform::GetCurrentThreadId());
    EXPECT_TRUE(m_pProfiler->Pool().FindRecord(current)->IsMeasuring());
}
