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
#include "support/ErrorText.h"
#include "support/PALThreadsStub.h"
#include "support/ScopedPALThreads.h"

namespace {

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
