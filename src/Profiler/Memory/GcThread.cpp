#include "Profiler/Memory/GcThread.h"

#include <stdexcept>

#include "Util/CatchAtEdge.h"
#include "Util/HostSleep.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr DWORD PollInterval = 100;

}  // namespace

GcThread::~GcThread() {
    LogEdgeFailure([this] { Stop(); });
}

void GcThread::SetInfo(ICorProfilerInfo* pInfo) {
    if (pInfo == nullptr) {
        throw std::runtime_error("Null profiling interface pointer");
    }
    m_pInfo = pInfo;
}

void GcThread::StartThread() {
    Start(&ThreadProc, nullptr, 0);
}

void GcThread::Enable() {
    m_EnableRequest.store(1);
    while (m_ActiveState.load() == 0 && !HasFinished()) {
        HostSleep(PollInterval);
    }
}

void GcThread::Run(DWORD mode) {
    if (mode != ModeForceGC && mode != ModeDump) {
        throw std::runtime_error("Invalid command");
    }
    Request request{mode, Platform::CreateManualResetEvent(false)};
    if (request.hDone == nullptr) {
        throw std::runtime_error("Can't create event");
    }
    {
        SpinLockGuard guard(m_QueueLock);
        m_Queue.push_back(&request);
    }
    const Platform::WaitResult result = Platform::WaitForEvent(request.hDone, INFINITE);
    Platform::CloseEvent(request.hDone);
    if (result != Platform::WaitResult::Signalled) {
        throw std::runtime_error("Event waiting was interrupted");
    }
}

DWORD GcThread::ThreadProc(SafeThread* pThread, void*) {
    auto* pThis = static_cast<GcThread*>(pThread);
    LogEdgeFailure([pThis] { pThis->DoWork(); });
    pThis->m_ActiveState.store(0);
    // Requesters still waiting when the thread ends are released: nothing will serve them.
    while (Request* pRequest = pThis->TakeRequest()) {
        LogEdgeFailure([pRequest] { Signal(*pRequest); });
    }
    return 0;
}

void GcThread::DoWork() {
    Log::Message("GCT::DoWorkThread");
    if (m_EnableRequest.load() != 0) {
        throw std::runtime_error("Invalid enable state");
    }
    if (m_ActiveState.load() != 0) {
        throw std::runtime_error("Invalid active state");
    }
    SignalStarted();

    while (!IsStopRequested()) {
        if (m_EnableRequest.load() == 0) {
            m_ActiveState.store(0);
            HostSleep(PollInterval);
            continue;
        }
        m_ActiveState.store(1);
        Request* pRequest = TakeRequest();
        if (pRequest == nullptr) {
            HostSleep(PollInterval);
            continue;
        }
        Serve(*pRequest);
    }
    m_ActiveState.store(0);
}

GcThread::Request* GcThread::TakeRequest() {
    SpinLockGuard guard(m_QueueLock);
    if (m_Queue.empty()) {
        return nullptr;
    }
    Request* pRequest = m_Queue.front();
    m_Queue.pop_front();
    return pRequest;
}

void GcThread::Serve(Request& request) {
    const bool served = LogEdgeFailure([this, &request] {
        if (m_RequestedMode.load() != ModeNone) {
            Log::Warning("Invalid gc request state");
        }
        m_RequestedMode.store(request.mode);
        // The memory profiler clears the requested mode when a collection in that mode has ended.
        while (!IsStopRequested() && m_RequestedMode.load() != ModeNone) {
            if (m_Collecting.load() == 0) {
                const HRESULT hr = m_pInfo->ForceGC();
                if (FAILED(hr) && hr != CORPROF_E_NOT_YET_AVAILABLE) {
                    throw _hr_error("Can't force gc", hr);
                }
            }
            // ForceGC returns after its collection: usually nothing is left to wait for.
            if (m_RequestedMode.load() == ModeNone) {
                break;
            }
            HostSleep(PollInterval);
        }
    });
    if (!served) {
        // No collection will run for this request: a later one must not take its mode.
        DWORD mode = request.mode;
        m_RequestedMode.compare_exchange_strong(mode, ModeNone);
    }
    LogEdgeFailure([&request] { Signal(request); });
}

void GcThread::Signal(Request& request) {
    if (!Platform::SetEvent(request.hDone)) {
        throw std::runtime_error("Can't set event");
    }
}
