#include "Util/SafeThread.h"

#include <exception>
#include <memory>
#include <stdexcept>

#include "Util/CatchAtEdge.h"
#include "Util/Log.h"
#include "Util/PeError.h"
#include "WinCE/PALServices.h"

namespace {

constexpr DWORD START_POLL_MS = 100;

}  // namespace

// Owned by the new thread once the host has started it.
struct SafeThread::StartContext {
    SafeThreadProc pProc;
    SafeThread* pOwner;
    void* pArgument;
};

bool SafeThread::IsStopRequested() const noexcept {
    return m_StopRequested.load(std::memory_order_relaxed);
}

void SafeThread::SignalStarted() {
    if (m_hStartedEvent == nullptr) {
        throw std::runtime_error("Thread wasn't started");
    }
    if (!Platform::SetEvent(m_hStartedEvent)) {
        throw std::runtime_error("Can't set started event");
    }
}

SafeThread::~SafeThread() {
    try {
        Stop();
    } catch (const std::exception& e) {
        Log::LogException(e);
    } catch (...) {
        Log::LogUnknownException();
    }
}

void SafeThread::Start(SafeThreadProc pProc, void* pArgument, DWORD passValue) {
    if (pProc == nullptr) {
        throw std::runtime_error("Invalid thread procedure address");
    }
    if (m_hThread != nullptr) {
        throw std::runtime_error("Thread already started");
    }

    m_StopRequested.store(false, std::memory_order_relaxed);
    m_hStartedEvent = Platform::CreateManualResetEvent(false);
    if (m_hStartedEvent == nullptr) {
        throw std::runtime_error("Can't create started event");
    }

    try {
        auto pContext = std::make_unique<StartContext>(StartContext{pProc, this, pArgument});
        HRESULT hr =
            g_pPALThreads->CreateThread(&StartRoutine, pContext.get(), passValue, 0, &m_hThread);
        if (FAILED(hr)) {
            m_hThread = nullptr;
            throw _pe_error("Can't create PAL thread", hr);
        }
        hr = g_pPALThreads->StartThread(m_hThread);
        if (FAILED(hr)) {
            // The thread never ran: its context and handle are still ours to free.
            g_pPALThreads->CloseThread(m_hThread);
            m_hThread = nullptr;
            throw _pe_error("Can't start PAL thread", hr);
        }
        pContext.release();  // the running thread owns it now
        WaitUntilStarted();
    } catch (...) {
        CloseStartedEvent();
        throw;
    }
    CloseStartedEvent();
}

void SafeThread::WaitUntilStarted() {
    for (;;) {
        // Checked before the wait, so a thread that signalled and then ended is still seen as
        // started.
        bool finished = HasFinished();
        switch (Platform::WaitForEvent(m_hStartedEvent, START_POLL_MS)) {
        case Platform::WaitResult::Signalled:
            return;
        case Platform::WaitResult::TimedOut:
            if (finished) {
                throw std::runtime_error("Thread terminated before started event set");
            }
            break;
        case Platform::WaitResult::Abandoned:
        case Platform::WaitResult::Failed:
            throw std::runtime_error("Start event waiting was interrupted");
        }
    }
}

void SafeThread::Stop() {
    m_StopRequested.store(true, std::memory_order_relaxed);
    if (m_hThread != nullptr) {
        g_pPALThreads->WaitForThread(m_hThread, INFINITE);
        g_pPALThreads->CloseThread(m_hThread);
        m_hThread = nullptr;
    }
    CloseStartedEvent();
}

bool SafeThread::HasFinished() {
    if (m_hThread == nullptr) {
        return true;
    }
    return g_pPALThreads->WaitForThread(m_hThread, 0) != PAL_E_TIMEOUT;
}

DWORD SafeThread::StartRoutine(void* pContext) {
    auto* pStart = static_cast<StartContext*>(pContext);
    // The procedure is meant to catch its own failures; this keeps a stray one off the host thread.
    DWORD result = 0;
    bool completed =
        LogEdgeFailure([&] { result = pStart->pProc(pStart->pOwner, pStart->pArgument); });
    delete pStart;
    return completed ? result : static_cast<DWORD>(EDGE_E_CALLBACK);
}

void SafeThread::CloseStartedEvent() noexcept {
    if (m_hStartedEvent != nullptr) {
        Platform::CloseEvent(m_hStartedEvent);
        m_hStartedEvent = nullptr;
    }
}
