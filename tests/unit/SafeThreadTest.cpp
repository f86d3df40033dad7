// The host's thread service and the SafeThread built on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Host/PALThreads.h"
#include "Platform/Clock.h"
#include "Platform/Process.h"
#include "Platform/Sync.h"
#include "Util/ComRef.h"
#include "Util/PeError.h"
#include "Util/SafeThread.h"
#include "support/ErrorText.h"
#include "support/PALThreadsStub.h"
#include "support/ScopedPALThreads.h"

namespace {

constexpr DWORD kGenerousMs = 30000;

// What one thread procedure sees and reports; it returns once released.
struct Job {
    Platform::EventHandle release = Platform::CreateManualResetEvent(false);
    Platform::EventHandle finished = Platform::CreateManualResetEvent(false);
    std::atomic<int> runs{0};
    std::atomic<DWORD> osThreadId{0};
    ~Job() {
        Platform::CloseEvent(release);
        Platform::CloseEvent(finished);
    }
    void Release() { Platform::SetEvent(release); }
    bool WaitFinished() {
        return Platform::WaitForEvent(finished, kGenerousMs) == Platform::WaitResult::Signalled;
    }
};

DWORD RunJob(void* pContext) {
    Job* pJob = static_cast<Job*>(pContext);
    pJob->osThreadId = Platform::GetCurrentThreadId();
    pJob->runs.fetch_add(1);
    Platform::WaitForEvent(pJob->release, kGenerousMs);
    Platform::SetEvent(pJob->finished);
    return 0;
}

// Releases the object at the end of a test; the tests own one reference each.
struct PALThreadsRef {
    PALThreads* p = new PALThreads();
    ~PALThreadsRef() { p->Release(); }
    PALThreads* operator->() { return p; }
};

// Inputs and observations of one worker run.
struct WorkerState {
    int m_Input = 0;
    std::atomic<int> m_TakenInput{0};
    std::atomic<bool> m_SawStop{false};
};

// Takes its input, confirms the start, then runs until asked to stop.
DWORD RunUntilStopped(SafeThread* pThread, void* pArgument) {
    auto* pState = static_cast<WorkerState*>(pArgument);
    pState->m_TakenInput = pState->m_Input;
    pThread->SignalStarted();
    while (!pThread->IsStopRequested()) {
        Platform::Sleep(1);
    }
    pState->m_SawStop = true;
    return 0;
}

DWORD ReturnWithoutSignal(SafeThread*, void*) {
    return 0;
}

// Signals only after Start has polled for it more than once.
DWORD SignalLate(SafeThread* pThread, void*) {
    Platform::Sleep(250);
    pThread->SignalStarted();
    return 0;
}

// Forwards to the real host thread service, records what it was given and which handles were
// closed, and fails creating or starting on demand.
class RecordingPALThreads : public PALThreadsStub {
public:
    RecordingPALThreads() { m_pInner.Attach(new PALThreads()); }

    HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc pProc, void* pContext, DWORD passValue,
                                           DWORD reserved, PALThreadHandle* phThread) override {
        if (FAILED(m_CreateResult)) {
            *phThread = nullptr;
            return m_CreateResult;
        }
        m_PassValues.push_back(passValue);
        HRESULT hr = m_pInner->CreateThread(pProc, pContext, passValue, reserved, phThread);
        m_Created.push_back(*phThread);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE StartThread(PALThreadHandle hThread) override {
        return m_StartResult != S_OK ? m_StartResult : m_pInner->StartThread(hThread);
    }
    HRESULT STDMETHODCALLTYPE CloseThread(PALThreadHandle hThread) override {
        m_Closed.push_back(hThread);
        return m_pInner->CloseThread(hThread);
    }
    HRESULT STDMETHODCALLTYPE Sleep(DWORD milliseconds) override {
        return m_pInner->Sleep(milliseconds);
    }
    HRESULT STDMETHODCALLTYPE WaitForThread(PALThreadHandle hThread, DWORD milliseconds) override {
        return m_pInner->WaitForThread(hThread, milliseconds);
    }

    ComRef<IPALThreads> m_pInner;
    HRESULT m_CreateResult = S_OK;
    HRESULT m_StartResult = S_OK;
    std::vector<DWORD> m_PassValues;
    std::vector<PALThreadHandle> m_Created;
    std::vector<PALThreadHandle> m_Closed;
};

}  // namespace

TEST(SafeThread, StartReturnsOnceTheInputsAreTakenAndStopReleasesTheHandleOnce) {
    RecordingPALThreads host;
    ScopedPALThreads scope(&host);
    SafeThread thread;
    EXPECT_TRUE(thread.IsStopRequested());
    for (int round = 1; round <= 3; ++round) {
        WorkerState state;
        state.m_Input = round;
        thread.Start(&RunUntilStopped, &state, 0x50 + round);
        EXPECT_EQ(state.m_TakenInput.load(), round);
        EXPECT_FALSE(thread.IsStopRequested());
        EXPECT_FALSE(thread.HasFinished());
        EXPECT_EQ(host.m_Closed.size(), size_t(round - 1));
        thread.Stop();
        EXPECT_TRUE(state.m_SawStop);
        EXPECT_TRUE(thread.HasFinished());
        EXPECT_TRUE(thread.IsStopRequested());
    }
    EXPECT_EQ(host.m_PassValues, (std::vector<DWORD>{0x51, 0x52, 0x53}));
    EXPECT_EQ(host.m_Closed, host.m_Created);

    // The destructor stops a running thread; its Stop has nothing left to close afterwards.
    WorkerState state;
    {
        SafeThread running;
        running.Start(&RunUntilStopped, &state, 0);
    }
    EXPECT_TRUE(state.m_SawStop);
    EXPECT_EQ(host.m_Closed.size(), 4u);
    EXPECT_EQ(host.m_Closed, host.m_Created);
}

TEST(SafeThread, RefusesBadStartsAndStraySignals) {
    RecordingPALThreads host;
    ScopedPALThreads scope(&host);
    SafeThread thread;
    EXPECT_EQ(ErrorText([&] { thread.Start(&ReturnWithoutSignal, nullptr, 0); }),
              "Thread terminated before started event set");
    // The ended thread is still owned until Stop collects it.
    EXPECT_EQ(ErrorText([&] { thread.Start(&ReturnWithoutSignal, nullptr, 0); }),
              "Thread already started");
    thread.Stop();
    EXPECT_EQ(ErrorText([&] { thread.Start(nullptr, nullptr, 0); }),
              "Invalid thread procedure address");
    EXPECT_EQ(ErrorText([&] { thread.SignalStarted(); }), "Thread wasn't started");

    thread.Start(&SignalLate, nullptr, 0);
    thread.Stop();

    WorkerState state;
    state.m_Input = 3;
    thread.Start(&RunUntilStopped, &state, 0);
    EXPECT_EQ(state.m_TakenInput.load(), 3);
    EXPECT_EQ(ErrorText([&] { thread.Start(&RunUntilStopped, &state, 0); }),
              "Thread already started");
    thread.Stop();
    EXPECT_TRUE(state.m_SawStop);
}

TEST(SafeThread, HostFailuresRaiseAndLeaveNothingHeld) {
    WorkerState state;
    {
        // No host is installed: Stop touches nothing, Start raises an invalid pointer.
        ASSERT_EQ(g_pPALThreads.Get(), nullptr);
        SafeThread thread;
        EXPECT_NO_THROW(thread.Stop());
        EXPECT_TRUE(thread.IsStopRequested());
        EXPECT_TRUE(thread.HasFinished());
        try {
            thread.Start(&RunUntilStopped, &state, 0);
            ADD_FAILURE() << "Start without host thread services did not raise";
        } catch (const _com_error& e) {
            EXPECT_EQ(e.Error(), E_POINTER);
        }
    }
    RecordingPALThreads host;
    ScopedPALThreads scope(&host);
    SafeThread thread;
    const struct {
        HRESULT create, start;
        const char* text;
    } cases[] = {
        {E_FAIL, S_OK, "Can't create PAL thread (PAL error code 0x80004005)"},
        {S_OK, MakeHResult(0x80000019), "Can't start PAL thread (PAL error code 0x80000019)"}};
    for (const auto& c : cases) {
        host.m_CreateResult = c.create;
        host.m_StartResult = c.start;
        try {
            thread.Start(&RunUntilStopped, &state, 0);
            ADD_FAILURE() << "Start did not raise";
        } catch (const _pe_error& e) {
            EXPECT_STREQ(e.what(), c.text);
            EXPECT_EQ(e.Code(), FAILED(c.create) ? c.create : c.start);
        }
        EXPECT_EQ(host.m_Closed, host.m_Created);
        EXPECT_EQ(state.m_TakenInput.load(), 0);
        EXPECT_NO_THROW(thread.Stop());
    }
    EXPECT_EQ(host.m_Created.size(), 1u);
    // Nothing is left held: a start that succeeds is possible at once.
    host.m_StartResult = S_OK;
    thread.Start(&RunUntilStopped, &state, 0);
    thread.Stop();
    EXPECT_TRUE(state.m_SawStop);
}

TEST(PALThreads, CreatedThreadRunsOnlyOnceStartedAndEveryWaiterSeesItsEnd) {
    PALThreadsRef threads;
    Job job;
    PALThreadHandle hThread = nullptr;
    ASSERT_EQ(S_OK, threads->CreateThread(&RunJob, &job, 0, 0, &hThread));
    ASSERT_NE(nullptr, hThread);

    // Not started: it has not ended, has no id, and its procedure does not run.
    EXPECT_EQ(PAL_E_TIMEOUT, threads->WaitForThread(hThread, 50));
    DWORD osThreadId = 1;
    EXPECT_EQ(E_UNEXPECTED, threads->GetThreadId(hThread, &osThreadId));
    EXPECT_EQ(0u, osThreadId);
    EXPECT_EQ(0, job.runs.load());

    ASSERT_EQ(S_OK, threads->StartThread(hThread));
    // The id is there as soon as StartThread has returned, and it is the thread's kernel id.
    ASSERT_EQ(S_OK, threads->GetThreadId(hThread, &osThreadId));
    EXPECT_NE(Platform::GetCurrentThreadId(), osThreadId);
    EXPECT_EQ(E_UNEXPECTED, threads->StartThread(hThread));
    EXPECT_EQ(PAL_E_TIMEOUT, threads->WaitForThread(hThread, 0));
    EXPECT_EQ(PAL_E_TIMEOUT, threads->WaitForThread(hThread, 20));

    // Several threads wait without limit on the same handle; all return once the thread ends.
    std::atomic<int> waitsDone{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back(
            [&] { waitsDone += threads->WaitForThread(hThread, INFINITE) == S_OK; });
    }
    job.Release();
    // A bounded wait ends as soon as the thread does, well before its limit.
    EXPECT_EQ(S_OK, threads->WaitForThread(hThread, 30000));
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(4, waitsDone.load());
    EXPECT_EQ(S_OK, threads->WaitForThread(hThread, 0));
    EXPECT_EQ(1, job.runs.load());
    EXPECT_EQ(job.osThreadId.load(), osThreadId);
    // The id stays readable after the end.
    DWORD afterEnd = 0;
    EXPECT_EQ(S_OK, threads->GetThreadId(hThread, &afterEnd));
    EXPECT_EQ(osThreadId, afterEnd);
    EXPECT_EQ(S_OK, threads->CloseThread(hThread));
}

TEST(PALThreads, ClosedHandleLetsRunningThreadFinishAlone) {
    Job job;
    Job other;
    {
        PALThreadsRef threads;
        PALThreadHandle hClosed = nullptr;
        ASSERT_EQ(S_OK, threads->CreateThread(&RunJob, &job, 0, 0, &hClosed));
        ASSERT_EQ(S_OK, threads->StartThread(hClosed));
        ASSERT_EQ(S_OK, threads->CloseThread(hClosed));
        // A closed handle is no longer known.
        DWORD osThreadId = 0;
        EXPECT_EQ(E_HANDLE, threads->WaitForThread(hClosed, 0));
        EXPECT_EQ(E_HANDLE, threads->GetThreadId(hClosed, &osThreadId));
        EXPECT_EQ(E_HANDLE, threads->StartThread(hClosed));
        EXPECT_EQ(E_HANDLE, threads->CloseThread(hClosed));
        // The object goes away with a handle still open and its thread still running.
        PALThreadHandle hLeftOpen = nullptr;
        ASSERT_EQ(S_OK, threads->CreateThread(&RunJob, &other, 0, 0, &hLeftOpen));
        ASSERT_EQ(S_OK, threads->StartThread(hLeftOpen));
    }
    job.Release();
    other.Release();
    EXPECT_TRUE(job.WaitFinished());
    EXPECT_TRUE(other.WaitFinished());
    EXPECT_EQ(1, job.runs.load());
    EXPECT_EQ(1, other.runs.load());
}

TEST(PALThreads, RejectsBadArgumentsAndForeignHandlesAndAnswersItsInterfacesOnly) {
    PALThreadsRef threads;
    PALThreadsRef otherThreads;
    PALThreadHandle hThread = reinterpret_cast<PALThreadHandle>(1);
    EXPECT_EQ(E_INVALIDARG, threads->CreateThread(nullptr, nullptr, 0, 0, &hThread));
    EXPECT_EQ(nullptr, hThread);
    EXPECT_EQ(E_POINTER, threads->CreateThread(&RunJob, nullptr, 0, 0, nullptr));
    Job job;
    ASSERT_EQ(S_OK, threads->CreateThread(&RunJob, &job, 0, 0, &hThread));
    DWORD osThreadId = 0;
    EXPECT_EQ(E_HANDLE, otherThreads->StartThread(hThread));
    EXPECT_EQ(E_HANDLE, otherThreads->WaitForThread(hThread, 0));
    EXPECT_EQ(E_HANDLE, otherThreads->GetThreadId(hThread, &osThreadId));
    EXPECT_EQ(E_HANDLE, otherThreads->CloseThread(hThread));
    EXPECT_EQ(E_HANDLE, threads->WaitForThread(nullptr, 0));
    EXPECT_EQ(E_POINTER, threads->GetThreadId(hThread, nullptr));
    // Closing a thread that was never started is fine; it never runs.
    EXPECT_EQ(S_OK, threads->CloseThread(hThread));
    EXPECT_EQ(0, job.runs.load());

    // Sleep waits at least the given time.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, threads->Sleep(20));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
    EXPECT_EQ(S_OK, threads->Sleep(0));

    EXPECT_EQ(2u, threads->AddRef());
    void* pUnknown = nullptr;
    ASSERT_EQ(S_OK, threads->QueryInterface(IID_IUnknown, &pUnknown));
    EXPECT_EQ(static_cast<IPALThreads*>(threads.p), pUnknown);
    void* pInterface = nullptr;
    ASSERT_EQ(S_OK, threads->QueryInterface(IID_IPALThreads, &pInterface));
    EXPECT_EQ(static_cast<IPALThreads*>(threads.p), pInterface);
    void* pOther = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, threads->QueryInterface(IID_IClassFactory, &pOther));
    EXPECT_EQ(nullptr, pOther);
    EXPECT_EQ(E_POINTER, threads->QueryInterface(IID_IPALThreads, nullptr));
    // Two queries succeeded, so four references are held now; the last is the test's own.
    EXPECT_EQ(3u, threads->Release());
    EXPECT_EQ(2u, threads->Release());
    EXPECT_EQ(1u, threads->Release());
}

TEST(PALThreads, ManyThreadsRunConcurrentlyWithDistinctIds) {
    constexpr int kThreads = 48;
    PALThreadsRef threads;
    std::vector<Job> jobs(kThreads);
    std::vector<PALThreadHandle> handles(kThreads, nullptr);
    // Every thread is alive at once: none can end before its release.
    std::set<DWORD> ids;
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(S_OK, threads->CreateThread(&RunJob, &jobs[i], 0, 0, &handles[i]));
        ASSERT_EQ(S_OK, threads->StartThread(handles[i]));
        DWORD osThreadId = 0;
        ASSERT_EQ(S_OK, threads->GetThreadId(handles[i], &osThreadId));
        ids.insert(osThreadId);
        EXPECT_EQ(PAL_E_TIMEOUT, threads->WaitForThread(handles[i], 0));
    }
    EXPECT_EQ(static_cast<size_t>(kThreads), ids.size());
    for (Job& job : jobs) {
        job.Release();
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(S_OK, threads->WaitForThread(handles[i], INFINITE));
        EXPECT_EQ(1, jobs[i].runs.load());
        EXPECT_EQ(S_OK, threads->CloseThread(handles[i]));
    }
}
