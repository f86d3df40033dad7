// The sampling kind over the scripted runtime, with its real sampling thread and the controller's
// Session on a loopback connection: the order of a turn, walk attempts, unwalkable samples,
// normalised stacks, suspensions, records without a handle and the recovery of unseen threads.
// Tests wait for walks the runtime reports; the trees are read under the measure gate.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Controller/Session.h"
#include "Host/PALThreads.h"
#include "Host/PALTools.h"
#include "Platform/Process.h"
#include "Profiler/Performance/ChildTable.h"
#include "Profiler/Performance/Sampling/PerformanceSamplingProfiler.h"
#include "WinCE/Bridge.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/ScopedLog.h"
#include "support/ScopedPALThreads.h"
#include "support/TestRuntime.h"

using Controller::EventKind;
using Controller::Session;
using Controller::SessionOptions;
using Operation = TestRuntime::Operation;
using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

constexpr DWORD kGenerousMs = 30000;
constexpr GUID kProcessGuid = {
    0x5A0C9E21, 0x7B3D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x72}};
constexpr const WCHAR* kServiceId = u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";

class TestSamplingProfiler : public PerformanceSamplingProfiler {
public:
    using PerformanceSamplingProfiler::PerformanceSamplingProfiler;
    PerformanceThreadPool& Pool() { return GetThreadPool(); }
    using BasePerformanceProfiler::GetFunctionGatherer;

protected:
    ~TestSamplingProfiler() override = default;
};

void ShortPause(DWORD) {
    Platform::Sleep(1);
}

// Every node but the root as "path c=calls", with fuids named by `names`; sorted.
void Collect(const CallNode& node, const std::string& path,
             const std::function<std::string(DWORD)>& names, std::vector<std::string>& lines) {
    auto visit = [&](const CallNode* pChild) {
        const std::string childPath = (path.empty() ? "" : path + "/") + names(pChild->m_Fuid);
        lines.push_back(childPath);
        Collect(*pChild, childPath, names, lines);
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

// The child for the function; the tests' nodes keep their children in a list.
const CallNode* Child(const CallNode& node, DWORD fuid) {
    for (const CallNode* p = node.HasTable() ? nullptr : node.GetList(); p != nullptr;
         p = p->m_pNext) {
        if (p->m_Fuid == fuid) {
            return p;
        }
    }
    return nullptr;
}

class SamplingProfilerTest : public testing::Test {
protected:
    void SetUp() override {
        m_Runtime.SetProbe([this](Operation operation) { Probe(operation); });
    }

    void Connect(uint8_t measureKind, bool startAtInitialization, int infoVersion = 10) {
        m_Runtime.OfferInfoUpTo(infoVersion);
        SessionOptions options;
        options.idleInterval = 50;
        options.performance.startAtInitialization = startAtInitialization;
        options.performance.measureKind = measureKind;
        m_pSession = std::make_unique<Session>(options);
        const std::string address = "127.0.0.1:" + std::to_string(m_pSession->Listen(0));
        setenv(PALTools::AddressVariable, address.c_str(), 1);
        m_pTools = new PALTools();
        m_pBridge = std::make_unique<Bridge>(kProcessGuid, kServiceId, m_pTools, &ShortPause);
        m_pProfiler = new TestSamplingProfiler(&m_TotalRef, m_pBridge.get());
        auto initializing = std::async(
            std::launch::async, [this] { return m_Runtime.InitializeProfiler(m_pProfiler); });
        m_pSession->Accept(kGenerousMs);
        ASSERT_EQ(initializing.get(), S_OK);
        ASSERT_TRUE(m_pSession->WaitFor(
            startAtInitialization ? EventKind::Started : EventKind::Stopped, kGenerousMs));
        // A module without a file, and two of its functions.
        m_Module = m_Runtime.LoadModule({u""});
        m_Outer = m_Runtime.AddFunction(m_Module, 0x06000001);
        m_Inner = m_Runtime.AddFunction(m_Module, 0x06000002);
    }

    void TearDown() override {
        if (m_pProfiler != nullptr) {
            EXPECT_EQ(m_Runtime.ShutdownProfiler(), S_OK);
            m_pProfiler->Release();
        }
        if (m_pSession != nullptr) {
            m_pSession->Close();
        }
        m_pBridge.reset();
        if (m_pTools != nullptr) {
            EXPECT_TRUE(m_pTools->WaitForServices(kGenerousMs));
            m_pTools->Release();
        }
        unsetenv(PALTools::AddressVariable);
    }

    // What the runtime saw, one letter per operation: S suspend, W walk, R resume. Each also
    // checks that the sampling thread holds the gate, and a walk that the runtime is suspended
    // when it offers suspension.
    void Probe(Operation operation) {
        const bool gateHeld = m_pProfiler->GetMeasureGate().IsWriterInside();
        const bool suspended = m_Runtime.IsSuspendedByProfiler();
        if (operation == Operation::SuspendRuntime && m_ResumeDuringSuspend.exchange(false)) {
            // A collection resuming the runtime while the turn waits to suspend it: the
            // resumption must not wait for the turn, which waits for the resumption.
            auto resuming = std::async(std::launch::async,
                                       [this] { return m_pProfiler->RuntimeResumeStarted(); });
            m_ResumedDuringSuspend =
                resuming.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
            m_Resuming = std::move(resuming);
        }
        std::lock_guard<std::mutex> lock(m_Lock);
        const char letter = operation == Operation::SuspendRuntime  ? 'S'
                            : operation == Operation::ResumeRuntime ? 'R'
                                                                    : 'W';
        m_Trace += letter;
        if (!gateHeld || (letter == 'W' && m_Suspending && !suspended)) {
            m_Trace += '!';
        }
        m_Changed.notify_all();
    }

    // Waits until the runtime has seen `count` more walks.
    void WaitForWalks(size_t count) {
        std::unique_lock<std::mutex> lock(m_Lock);
        const size_t target = std::count(m_Trace.begin(), m_Trace.end(), 'W') + count;
        ASSERT_TRUE(m_Changed.wait_for(lock, std::chrono::milliseconds(kGenerousMs),
                                       [&] {
                                           return static_cast<size_t>(std::count(
                                                      m_Trace.begin(), m_Trace.end(), 'W')) >=
                                                  target;
                                       }))
            << "the runtime saw: ..."
            << m_Trace.substr(m_Trace.size() - std::min<size_t>(m_Trace.size(), 80));
    }
    std::string TakeTrace() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return std::exchange(m_Trace, std::string());
    }

    DWORD Fuid(FunctionID functionId) {
        return m_pProfiler->GetFunctionGatherer().MapFunction(functionId);
    }
    DWORD Special(DWORD token) { return m_pProfiler->GetSpecialFuid(token - 0xFF000001); }
    std::string Name(DWORD fuid) {
        if (fuid == Fuid(m_Outer)) {
            return "Outer";
        }
        if (fuid == Fuid(m_Inner)) {
            return "Inner";
        }
        for (DWORD token = 0xFF000001; token <= 0xFF000005; ++token) {
            if (fuid == Special(token)) {
                char text[16];
                std::snprintf(text, sizeof text, "%08X", token);
                return text;
            }
        }
        return std::to_string(fuid);
    }
    // The thread's tree as paths, read while no turn runs.
    std::vector<std::string> Paths(ThreadID threadId) {
        MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
        std::vector<std::string> lines;
        const PerformanceThread* pRecord = m_pProfiler->Pool().FindRecord(threadId);
        if (pRecord == nullptr) {
            return {"(no record)"};
        }
        Collect(
            pRecord->GetRoot(), "", [this](DWORD fuid) { return Name(fuid); }, lines);
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    DWORD Calls(ThreadID threadId, std::vector<DWORD> path) {
        MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
        const CallNode* pNode = &m_pProfiler->Pool().FindRecord(threadId)->GetRoot();
        for (DWORD fuid : path) {
            pNode = pNode != nullptr ? Child(*pNode, fuid) : nullptr;
        }
        return pNode != nullptr ? pNode->m_CallCount : 0;
    }
    // Log lines holding the text, once the turn under way (if any) has ended.
    size_t CountLines(const std::string& text) {
        { MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate()); }
        const std::vector<std::string> lines = ReadLogFileLines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    std::string Tid(ThreadID threadId) { return "tid=" + Hex(threadId); }

    ScopedLog m_Log{ComponentBit(LogComponent::PerformanceSamplingGt) |
                    ComponentBit(LogComponent::ThreadGt)};
    ComRef<IPALThreads> m_pHostThreads{new PALThreads()};
    ScopedPALThreads m_HostThreads{m_pHostThreads.Get()};
    TestRuntime m_Runtime;
    std::unique_ptr<Session> m_pSession;
    PALTools* m_pTools = nullptr;
    std::unique_ptr<Bridge> m_pBridge;
    LONG m_TotalRef = 0;
    TestSamplingProfiler* m_pProfiler = nullptr;
    ModuleID m_Module = 0;
    FunctionID m_Outer = 0;
    FunctionID m_Inner = 0;

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::string m_Trace;
    bool m_Suspending = true;
    std::atomic<bool> m_ResumeDuringSuspend{false};
    bool m_ResumedDuringSuspend = false;
    std::future<HRESULT> m_Resuming;
};

}  // namespace

TEST_F(SamplingProfilerTest, TurnSuspendsTheRuntimeAroundItsWalksUnderTheGate) {
    ASSERT_NO_FATAL_FAILURE(Connect(0, true));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    // Innermost first: Inner, unmanaged, Outer, and the unmanaged code the thread started in.
    m_Runtime.SetStack(main, {m_Inner, 0, m_Outer, 0});
    TakeTrace();
    WaitForWalks(3);
    EXPECT_THAT(Paths(main), ElementsAre("Outer", "Outer/0", "Outer/0/Inner"));

    // Whole turns (the first may have been under way): suspend, walk, resume.
    std::string trace = TakeTrace();
    EXPECT_EQ(trace.find('!'), std::string::npos) << trace;
    trace.erase(0, trace.find('S'));
    ASSERT_GE(trace.size(), 6u) << trace;
    for (size_t turn = 0; turn + 3 <= trace.size(); turn += 3) {
        EXPECT_EQ(trace.substr(turn, 3), "SWR") << trace;
    }
    // The suspension reports the runtime made on the sampling thread itself were refused.
    std::vector<std::string> refused;
    for (const auto& result : m_Runtime.FailedCallbacks()) {
        refused.push_back(std::string(result.pName) + (result.hr == E_UNEXPECTED ? "" : " ?"));
    }
    ASSERT_FALSE(refused.empty());
    EXPECT_THAT(refused,
                testing::Each(testing::AnyOf("RuntimeThreadSuspended", "RuntimeThreadResumed")));
    EXPECT_GE(CountLines("PSProf::DoWorkThread " + Tid(main) + " res=ok"), 3u);
    EXPECT_GE(CountLines("PSProf::DoWorkThread turn=end"), 3u);

    // The save stops measuring: the last stack's frames go without further time.
    m_pSession->StopSave();
    ASSERT_TRUE(m_pSession->WaitFor(EventKind::Snapshot, kGenerousMs));
    MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
    EXPECT_EQ(m_pProfiler->Pool().FindRecord(main)->GetFrameCount(), 1u);
}

TEST_F(SamplingProfilerTest, UpToFourAttemptsThenAnUnwalkableSample) {
    ASSERT_NO_FATAL_FAILURE(Connect(0, false));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Outer});
    struct Case {
        HRESULT hr;
        unsigned failures;
        const char* firstTurn;  // what the runtime saw
        bool unwalkable;
    };
    const Case cases[] = {
        {CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX, 4, "SWWWWR", true},
        {CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX, 3, "SWWWWR", false},
        {CORPROF_E_STACKSNAPSHOT_UNSAFE, 1, "SWWR", false},
        {E_FAIL, 1, "SWR", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.hr << " x" << c.failures);
        m_Runtime.FailNext(Operation::DoStackSnapshot, c.hr, c.failures);
        TakeTrace();
        char expected[64];
        std::snprintf(expected, sizeof expected, "res=failed hr=%08X", static_cast<unsigned>(c.hr));
        const size_t failedLines = CountLines("res=failed");
        const size_t expectedLines = CountLines(expected);
        m_pSession->Start();
        ASSERT_TRUE(m_pSession->WaitFor(EventKind::Started, kGenerousMs));
        WaitForWalks(c.failures + 2);
        const DWORD outer = Fuid(m_Outer);
        const DWORD unwalkable = Special(0xFF000005);
        EXPECT_EQ(Calls(main, {unwalkable}), c.unwalkable ? 1u : 0u);
        EXPECT_GE(Calls(main, {outer}), 1u);
        EXPECT_EQ(TakeTrace().substr(0, std::string(c.firstTurn).size()), c.firstTurn);
        EXPECT_EQ(CountLines(expected), expectedLines + (c.unwalkable ? 1 : 0));
        EXPECT_EQ(CountLines("res=failed"), failedLines + (c.unwalkable ? 1 : 0));
        m_pSession->StopDrop();
        ASSERT_TRUE(m_pSession->WaitFor(EventKind::Stopped, kGenerousMs));
    }
}

TEST_F(SamplingProfilerTest, ThreadTimeSkipsARecordWithoutAThreadHandle) {
    ASSERT_NO_FATAL_FAILURE(Connect(1, true));
    // Created, never assigned to an OS thread: the runtime gave no handle for it.
    const ThreadID unassigned = m_Runtime.AddThread();
    m_Runtime.NotifyThreadCreated(unassigned);
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Outer});
    WaitForWalks(2);
    EXPECT_GE(CountLines(Tid(unassigned) + " res=no_handle"), 2u);
    EXPECT_GE(CountLines(Tid(main) + " res=ok"), 2u);
    EXPECT_THAT(Paths(unassigned), ElementsAre());
    EXPECT_THAT(Paths(main), ElementsAre("Outer"));
}

// Where the runtime offers no suspension (the device), the walks run while the threads do, and a
// thread the runtime holds for a collection shows the collection as its innermost frame.
TEST_F(SamplingProfilerTest, WithoutRuntimeSuspensionAGcSuspendedThreadShowsTheCollection) {
    m_Suspending = false;
    ASSERT_NO_FATAL_FAILURE(Connect(0, true, 2));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Inner, m_Outer});
    for (COR_PRF_SUSPEND_REASON reason : {COR_PRF_SUSPEND_FOR_GC, COR_PRF_SUSPEND_FOR_GC_PREP}) {
        // A walk already under way when the collection begins may miss it: three walks see it
        // at least twice.
        m_Runtime.SuspendForGc(reason);
        WaitForWalks(3);
        m_Runtime.ResumeAfterGc();
        WaitForWalks(1);
    }
    EXPECT_THAT(Paths(main), ElementsAre("Outer", "Outer/Inner", "Outer/Inner/FF000002"));
    EXPECT_GE(CountLines(Tid(main) + " res=ok_suspend"), 4u);
    EXPECT_EQ(m_Runtime.CallCount(Operation::SuspendRuntime), 0u);
    EXPECT_THAT(TakeTrace(), testing::Not(testing::HasSubstr("!")));
    EXPECT_TRUE(m_Runtime.FailedCallbacks().empty());
}

TEST_F(SamplingProfilerTest, ATurnDuringACollectionIsSkippedWithAWarning) {
    ASSERT_NO_FATAL_FAILURE(Connect(0, true));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Outer});
    m_Runtime.SuspendForGc();
    const auto warning = m_pSession->WaitFor(EventKind::LogNotification, kGenerousMs);
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->logKind, 0);
    EXPECT_EQ(warning->text.rfind("Can't suspend runtime (COM error code 0x80131388)", 0), 0u)
        << warning->text;
    m_Runtime.ResumeAfterGc();
    WaitForWalks(1);
    // The collection's own reason never reaches a sample taken under the turn's suspension.
    EXPECT_THAT(Paths(main), ElementsAre("Outer"));
}

// Recovery runs as the runtime resumes: here no turn holds the gate, so it runs every time.
TEST_F(SamplingProfilerTest, RecoveryMakesRecordsForThreadsFirstSeenInASuspension) {
    ASSERT_NO_FATAL_FAILURE(Connect(0, false));
    // A thread the profiler never heard of, seen in a collection's suspension.
    const ThreadID gathered = m_Runtime.AddThread();
    m_Runtime.SetOSThreadId(gathered, 0x4242);
    m_Runtime.SetStack(gathered, {m_Outer});
    m_Runtime.SuspendForGc();
    EXPECT_THAT(Paths(gathered), ElementsAre("(no record)"));
    m_Runtime.ResumeAfterGc();
    EXPECT_EQ(CountLines("PSProf::RecoveryThread " + Tid(gathered) + " recoveryType='gather'"), 1u);

    // The thread that resumes the runtime, managed but unknown, is recovered as the current one.
    const ThreadID current = m_Runtime.AddThread();
    m_Runtime.BindToCurrentOSThread(current);
    m_Runtime.SuspendForGc();
    m_Runtime.ResumeAfterGc();
    m_Runtime.UnbindCurrentOSThread();
    EXPECT_EQ(CountLines("PSProf::RecoveryThread " + Tid(current) + " recoveryType='current'"), 1u);
    EXPECT_EQ(CountLines("recoveryType="), 2u);
    EXPECT_TRUE(m_Runtime.FailedCallbacks().empty());

    // Both records measure from the start like every other, and the gathered one is sampled.
    m_pSession->Start();
    ASSERT_TRUE(m_pSession->WaitFor(EventKind::Started, kGenerousMs));
    WaitForWalks(4);
    EXPECT_THAT(Paths(gathered), ElementsAre("Outer"));
    MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
    const PerformanceThread* pGathered = m_pProfiler->Pool().FindRecord(gathered);
    const PerformanceThread* pCurrent = m_pProfiler->Pool().FindRecord(current);
    ASSERT_NE(pGathered, nullptr);
    ASSERT_NE(pCurrent, nullptr);
    EXPECT_EQ(pGathered->GetOSThreadId(), 0x4242u);
    EXPECT_EQ(pCurrent->GetOSThreadId(), Platform::GetCurrentThreadId());
    EXPECT_TRUE(pGathered->IsMeasuring());
    EXPECT_TRUE(pCurrent->IsMeasuring());
}

TEST_F(SamplingProfilerTest, AResumptionDuringATurnDoesNotWaitForTheTurn) {
    m_ResumeDuringSuspend = true;
    ASSERT_NO_FATAL_FAILURE(Connect(0, true));
    const ThreadID main = m_Runtime.StartThreadHere(u"main");
    m_Runtime.SetStack(main, {m_Outer});
    WaitForWalks(1);
    EXPECT_TRUE(m_ResumedDuringSuspend);
    ASSERT_TRUE(m_Resuming.valid());
    EXPECT_EQ(m_Resuming.get(), S_OK);
}
