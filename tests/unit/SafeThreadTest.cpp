#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "Host/PALThreads.h"
#include "Platform/Clock.h"
#include "Platform/Sync.h"
#include "Util/ComRef.h"
#include "Util/PeError.h"
#include "Util/SafeThread.h"
#include "support/PALThreadsStub.h"
#include "support/ScopedPALThreads.h"

namespace {

constexpr DWORD GENEROUS_WAIT_MS = 10000;

// Inputs and observations of one worker run.
struct WorkerState {
    int m_Input = 0;
    std::atomic<int> m_TakenInput{0};
    std::atomic<bool> m_SawStop{false};
    Platform::EventHandle m_hRelease = nullptr;  // optional: the worker waits for it before ending
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

// Confirms the start, then ends once the test releases it.
DWORD SignalThenWaitForRelease(SafeThread* pThread, void* pArgument) {
    auto* pState = static_cast<WorkerState*>(pArgument);
    pThread->SignalStarted();
    Platform::WaitForEvent(pState->m_hRelease, GENEROUS_WAIT_MS);
    return 0;
}

std::string StartFailure(SafeThread& thread, SafeThreadProc pProc, void* pArgument) {
    try {
        thread.Start(pProc, pArgument, 0);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

ComRef<IPALThreads> NewHostThreads() {
    ComRef<IPALThreads> pThreads;
    pThreads.Attach(new PALThreads());  // created with one reference, now ours
    return pThreads;
}

// Forwards to the real host thread service and records which handles were closed.
class RecordingPALThreads : public PALThreadsStub {
public:
    RecordingPALThreads() : m_pInner(NewHostThreads()) {}

    HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc pProc, void* pContext, DWORD passValue,
                                           DWORD reserved, PALThreadHandle* phThread) override {
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
    HRESULT m_StartResult = S_OK;
    std::vector<DWORD> m_PassValues;
    std::vector<PALThreadHandle> m_Created;
    std::vector<PALThreadHandle> m_Closed;
};

class CreateFailingThreads : public PALThreadsStub {
public:
    HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc, void*, DWORD, DWORD,
                                           PALThreadHandle* phThread) override {
        *phThread = nullptr;
        return E_FAIL;
    }
};

// Runs every SafeThread test over the real host thread service.
class SafeThreadTest : public testing::Test {
protected:
    ComRef<IPALThreads> m_pThreads = NewHostThreads();
    ScopedPALThreads m_Scope{m_pThreads.Get()};
};

}  // namespace

TEST_F(SafeThreadTest, StartReturnsOnceTheProcedureHasTakenItsInputs) {
    WorkerState state;
    state.m_Input = 7;
    SafeThread thread;
    EXPECT_TRUE(thread.IsStopRequested());

    thread.Start(&RunUntilStopped, &state, 0);
    EXPECT_EQ(state.m_TakenInput.load(), 7);
    EXPECT_FALSE(thread.IsStopRequested());
    EXPECT_FALSE(thread.HasFinished());

    thread.Stop();
    EXPECT_TRUE(state.m_SawStop);
    EXPECT_TRUE(thread.HasFinished());
    EXPECT_TRUE(thread.IsStopRequested());
}

TEST_F(SafeThreadTest, ProcedureEndingWithoutSignalFailsStartAndCanBeRestarted) {
    SafeThread thread;
    EXPECT_EQ(StartFailure(thread, &ReturnWithoutSignal, nullptr),
              "Thread terminated before started event set");
    // The ended thread is still owned until Stop collects it.
    EXPECT_EQ(StartFailure(thread, &ReturnWithoutSignal, nullptr), "Thread already started");
    thread.Stop();

    WorkerState state;
    state.m_Input = 3;
    thread.Start(&RunUntilStopped, &state, 0);
    EXPECT_EQ(state.m_TakenInput.load(), 3);
    thread.Stop();
    EXPECT_TRUE(state.m_SawStop);
}

TEST_F(SafeThreadTest, RefusesSecondStartNullProcedureAndStraySignal) {
    SafeThread thread;
    EXPECT_EQ(StartFailure(thread, nullptr, nullptr), "Invalid thread procedure address");
    try {
        thread.SignalStarted();
        ADD_FAILURE() << "SignalStarted outside Start did not raise";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Thread wasn't started");
    }

    WorkerState state;
    thread.Start(&RunUntilStopped, &state, 0);
    EXPECT_EQ(StartFailure(thread, &RunUntilStopped, &state), "Thread already started");
    thread.Stop();
}

TEST_F(SafeThreadTest, RestartsAfterStop) {
    SafeThread thread;
    for (int round = 1; round <= 3; ++round) {
        WorkerState state;
        state.m_Input = round;
        thread.Start(&RunUntilStopped, &state, 0);
        EXPECT_EQ(state.m_TakenInput.load(), round);
        thread.Stop();
        EXPECT_TRUE(state.m_SawStop);
    }
}

TEST_F(SafeThreadTest, DestructorStopsARunningThread) {
    WorkerState state;
    {
        SafeThread thread;
        thread.Start(&RunUntilStopped, &state, 0);
    }
    EXPECT_TRUE(state.m_SawStop);
}

TEST(SafeThread, StopOnANeverStartedThreadOnlySetsTheStopFlag) {
    // No host is installed: any call through it would raise.
    ASSERT_EQ(g_pPALThreads.Get(), nullptr);
    SafeThread thread;
    EXPECT_NO_THROW(thread.Stop());
    EXPECT_TRUE(thread.IsStopRequested());
    EXPECT_TRUE(thread.HasFinished());
}

TEST(SafeThread, StartWithoutHostRaisesInvalidPointer) {
    ASSERT_EQ(g_pPALThreads.Get(), nullptr);
    SafeThread thread;
    WorkerState state;
    try {
        thread.Start(&RunUntilStopped, &state, 0);
        FAIL() << "Start without host thread services did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_POINTER);
    }
}

TEST(SafeThread, HostCreateFailureRaisesPalError) {
    CreateFailingThreads host;
    ScopedPALThreads scope(&host);
    SafeThread thread;
    WorkerState state;
    try {
        thread.Start(&RunUntilStopped, &state, 0);
        FAIL() << "Start did not raise";
    } catch (const _pe_error& e) {
        EXPECT_STREQ(e.what(), "Can't create PAL thread (PAL error code 0x80004005)");
        EXPECT_EQ(e.Code(), E_FAIL);
    }
    EXPECT_NO_THROW(thread.Stop());
}

TEST(SafeThread, HostStartFailureRaisesPalErrorAndReleasesTheHandle) {
    RecordingPALThreads host;
    host.m_StartResult = MakeHResult(0x80000019);
    ScopedPALThreads scope(&host);
    SafeThread thread;
    WorkerState state;
    try {
        thread.Start(&RunUntilStopped, &state, 0);
        FAIL() << "Start did not raise";
    } catch (const _pe_error& e) {
        EXPECT_STREQ(e.what(), "Can't start PAL thread (PAL error code 0x80000019)");
        EXPECT_EQ(e.Code(), MakeHResult(0x80000019));
    }
    ASSERT_EQ(host.m_Created.size(), 1u);
    EXPECT_EQ(host.m_Closed, host.m_Created);
    EXPECT_EQ(state.m_TakenInput.load(), 0);

    // Nothing is left held: a start that succeeds is possible at once.
    host.m_StartResult = S_OK;
    thread.Start(&RunUntilStopped, &state, 0);
    thread.Stop();
    EXPECT_TRUE(state.m_SawStop);
}

TEST(SafeThread, StopReleasesTheHostHandleOnceAndPassesThePassValue) {
    RecordingPALThreads host;
    ScopedPALThreads scope(&host);
    WorkerState state;
    state.m_hRelease = Platform::CreateManualResetEvent(false);
    {
        SafeThread thread;
        thread.Start(&SignalThenWaitForRelease, &state, 0x55);
        EXPECT_EQ(host.m_PassValues, std::vector<DWORD>{0x55});
        EXPECT_TRUE(host.m_Closed.empty());
        Platform::SetEvent(state.m_hRelease);
        thread.Stop();
        ASSERT_EQ(host.m_Created.size(), 1u);
        EXPECT_EQ(host.m_Closed, host.m_Created);
        EXPECT_TRUE(thread.HasFinished());
    }
    EXPECT_EQ(host.m_Closed.size(), 1u);  // the destructor's Stop has nothing left to close
    Platform::CloseEvent(state.m_hRelease);
}
