#include "Profiler/Performance/Sampling/PerformanceSamplingProfiler.h"

#include <memory>
#include <stdexcept>

#include "Platform/Clock.h"
#include "Platform/Process.h"
#include "Profiler/Performance/MeasureClock.h"
#include "Util/CatchAtEdge.h"
#include "Util/HostSleep.h"
#include "Util/HrError.h"
#include "Util/Log.h"

namespace {

const char* TrueFalse(BOOL value) {
    return value != 0 ? "true" : "false";
}

const char* TransitionText(COR_PRF_TRANSITION_REASON reason) {
    return reason == COR_PRF_TRANSITION_RETURN ? "return" : "call";
}

// A callback this kind only logs.
template <class... Args>
HRESULT LogOnly(LogComponent component, const char* pFormat, Args... args) {
    if (Log::IsEnabled(component)) {
        Log::Format(pFormat, args...);
    }
    return S_OK;
}

bool IsTurnLogging() noexcept {
    return Log::IsEnabled(LogComponent::PerformanceSamplingGt);
}

const void* AsPointer(UINT_PTR id) {
    return reinterpret_cast<const void*>(id);
}

// Answers of a walk that the runtime refused at an unsafe moment: worth another attempt.
bool IsRetryable(HRESULT hr) {
    return hr == CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX || hr == CORPROF_E_STACKSNAPSHOT_UNSAFE;
}

}  // namespace

PerformanceSamplingProfiler::PerformanceSamplingProfiler(LONG* pTotalRef, Bridge* pBridge)
    : BasePerformanceProfiler(pTotalRef, pBridge) {}

PerformanceSamplingProfiler::~PerformanceSamplingProfiler() {
    LogEdgeFailure([this] { m_SamplingThread.Stop(); });
}

const char* PerformanceSamplingProfiler::SuspendReasonText(DWORD reason) noexcept {
    switch (reason) {
        case COR_PRF_SUSPEND_OTHER:
            return "other";
        case COR_PRF_SUSPEND_FOR_GC:
            return "gc";
        case COR_PRF_SUSPEND_FOR_APPDOMAIN_SHUTDOWN:
            return "app_domain_shutdown";
        case COR_PRF_SUSPEND_FOR_CODE_PITCHING:
            return "code_pitching";
        case COR_PRF_SUSPEND_FOR_SHUTDOWN:
            return "shutdown";
        case COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER:
            return "inproc_debugger";
        case COR_PRF_SUSPEND_FOR_GC_PREP:
            return "gc_prep";
        default:
            return "???";
    }
}

// ---- Life cycle

void PerformanceSamplingProfiler::OnBeginInitialize() {
    Log::Message("PSProf::OnBeginInitialize");
    if (GetInfo2() == nullptr) {
        throw std::runtime_error(
            "Performance sampling profiler doesn't support .NET framework v1.x");
    }
    BasePerformanceProfiler::OnBeginInitialize();
    m_pInfo10.QueryFrom(GetInfo(), IID_ICorProfilerInfo10);
}

void PerformanceSamplingProfiler::OnEndInitialize() {
    Log::Message("PSProf::OnEndInitialize");
    BasePerformanceProfiler::OnEndInitialize();
    m_SamplingThread.Start(&DoWorkThread, this, 0);
}

void PerformanceSamplingProfiler::OnBeginShutdown() {
    Log::Message("PSProf::OnBeginShutdown");
    m_SamplingThread.Stop();
    BasePerformanceProfiler::OnBeginShutdown();
}

void PerformanceSamplingProfiler::OnEndShutdown() {
    BasePerformanceProfiler::OnEndShutdown();
    m_pInfo10.Reset();
}

bool PerformanceSamplingProfiler::NeedsThreadHandles() {
    const DWORD kind = GetSettings().m_MeasureKind;
    if (kind > MeasureKind::Rdtsc) {
        throw std::runtime_error("Unknown measure");
    }
    return kind == MeasureKind::ThreadTime;
}

void PerformanceSamplingProfiler::OnThreadDestroyedHook(ThreadID threadId) {
    m_SuspendedThreads.RemoveAll(threadId);
    m_RecoveryThreads.RemoveAll(threadId);
}

// ---- The sampling thread

DWORD PerformanceSamplingProfiler::DoWorkThread(SafeThread* pThread, void* pArgument) {
    auto* pThis = static_cast<PerformanceSamplingProfiler*>(pArgument);
    LogEdgeFailure([&] { pThis->DoWork(*pThread); });
    // An OS thread id is reused once its thread is gone.
    pThis->m_SamplingThreadId.store(0);
    return 0;
}

void PerformanceSamplingProfiler::DoWork(SafeThread& thread) {
    Log::Message("PSProf::DoWorkThread");
    // Named for thread lists, where its CPU time is the sampler's own cost.
    Platform::SetCurrentThreadName(SamplingThreadName);
    // The library's own generator: the program's rand() sequence stays its own.
    m_Random.seed(Platform::GetTickCount());
    m_SamplingThreadId.store(Platform::GetCurrentThreadId());
    auto pBuffer = std::make_unique<SampleBuffer>();
    thread.SignalStarted();
    while (!thread.IsStopRequested()) {
        DWORD interval = IdleIntervalMs;
        // A failed turn is logged; sampling goes on with the next.
        LogEdgeFailure([&] { interval = Turn(*pBuffer); });
        HostSleep(interval);
    }
}

DWORD PerformanceSamplingProfiler::Turn(SampleBuffer& buffer) {
    if (!m_Pool.IsMeasuring()) {
        return IdleIntervalMs;
    }
    // The runtime is suspended before the gate is taken: a starting thread reports itself in
    // cooperative mode, which the suspension waits for, and that callback waits for the gate.
    ICorProfilerInfo10* pInfo10 = m_pInfo10.Get();
    if (pInfo10 != nullptr) {
        const HRESULT hr = pInfo10->SuspendRuntime();
        if (FAILED(hr)) {
            // Before the runtime has started and while it suspends for a collection there is
            // nothing to sample: such a turn is skipped without a warning. The time until the
            // next turn goes to the stacks that turn sees.
            if (hr != CORPROF_E_RUNTIME_UNINITIALIZED && hr != CORPROF_E_SUSPENSION_IN_PROGRESS) {
                Log::WarningFormat("Can't suspend runtime (COM error code 0x%08X)", hr);
            } else if (IsTurnLogging()) {
                Log::Format("PSProf::DoWorkThread turn=skipped hr=%08X", hr);
            }
            return DrawInterval();
        }
    }
    MeasureGate::WriterLock lock(m_Gate);
    // Resumed before the gate is released, whatever the walks raise: the resumption's recovery
    // of unseen threads runs under the gate.
    struct Resume {
        ICorProfilerInfo10* m_pInfo10;
        ~Resume() {
            if (m_pInfo10 != nullptr) {
                const HRESULT hr = m_pInfo10->ResumeRuntime();
                if (FAILED(hr)) {
                    Log::WarningFormat("Can't resume runtime (COM error code 0x%08X)", hr);
                }
            }
        }
    } resume{pInfo10};
    if (!m_Pool.IsMeasuring()) {
        return IdleIntervalMs;
    }
    if (IsTurnLogging()) {
        Log::Message("PSProf::DoWorkThread turn=begin");
    }
    // Under the turn's own suspension no thread's managed stack can change, so a refused walk
    // is not tried again: a retry would only keep every thread suspended for longer.
    const DWORD attempts = pInfo10 != nullptr ? 1 : WalkAttempts;
    m_Pool.ForEachActive([&](ThreadID threadId, BaseThread& record) {
        Sample(threadId, static_cast<SamplingThread&>(record), buffer, attempts);
    });
    const DWORD interval = DrawInterval();
    if (IsTurnLogging()) {
        Log::Message("PSProf::DoWorkThread turn=end");
    }
    return interval;
}

DWORD PerformanceSamplingProfiler::DrawInterval() {
    return MinIntervalMs + static_cast<DWORD>(m_Random() % IntervalChoices);
}

UINT64 PerformanceSamplingProfiler::SampleTime(const SamplingThread& record) const noexcept {
    const DWORD kind = GetSettings().m_MeasureKind;
    return kind == MeasureKind::ThreadTime ? MeasureClock::ThreadNow(kind, record.GetOSThreadId())
                                           : MeasureClock::Now(kind);
}

void PerformanceSamplingProfiler::Sample(ThreadID threadId, SamplingThread& record,
                                         SampleBuffer& buffer, DWORD attempts) {
    if (!record.IsActive()) {
        if (IsTurnLogging()) {
            Log::Format("PSProf::DoWorkThread tid=%p res=inactive", AsPointer(threadId));
        }
        return;
    }
    if (GetSettings().m_MeasureKind == MeasureKind::ThreadTime &&
        record.GetThreadHandle() == nullptr) {
        if (IsTurnLogging()) {
            Log::Format("PSProf::DoWorkThread tid=%p res=no_handle", AsPointer(threadId));
        }
        return;
    }
    UINT64 time = 0;
    HRESULT hr = S_OK;
    for (DWORD attempt = 1;; ++attempt) {
        // Each attempt walks afresh: a refused one may have left frames behind.
        buffer.Clear();
        time = SampleTime(record);
        hr = GetInfo2()->DoStackSnapshot(threadId, &SampleBuffer::OnFrame, 0, &buffer, nullptr, 0);
        if (!IsRetryable(hr) || attempt >= attempts) {
            break;
        }
        HostSleep(RetryPauseMs);
    }
    if (FAILED(hr)) {
        buffer.SetSingle(GetSpecialFuid(UnwalkableSampleToken - SuspendOtherToken));
        if (IsTurnLogging()) {
            Log::Format("PSProf::DoWorkThread tid=%p res=failed hr=%08X", AsPointer(threadId), hr);
        }
    } else {
        FunctionGatherer& functions = GetFunctionGatherer();
        buffer.Normalise([&](FunctionID functionId) { return functions.MapFunction(functionId); });
        DWORD suspensionFuid = 0;
        if (m_SuspendedThreads.Contains(threadId)) {
            suspensionFuid = GetSuspendReasonFuid(LoadSuspendReason());
        }
        if (suspensionFuid != 0) {
            buffer.AppendInnermost(suspensionFuid);
        }
        if (IsTurnLogging()) {
            Log::Format("PSProf::DoWorkThread tid=%p res=%s", AsPointer(threadId),
                        suspensionFuid != 0 ? "ok_suspend" : "ok");
        }
    }
    record.AddSample(time, buffer.Fuids());
}

bool PerformanceSamplingProfiler::IsSamplingThread() const noexcept {
    const DWORD samplingThreadId = m_SamplingThreadId.load(std::memory_order_relaxed);
    return samplingThreadId != 0 && samplingThreadId == Platform::GetCurrentThreadId();
}

// The reason is written by the runtime's suspending thread and read by the sampling thread.
DWORD PerformanceSamplingProfiler::LoadSuspendReason() const noexcept {
    return std::atomic_ref<DWORD>(const_cast<DWORD&>(m_LastSuspendReason))
        .load(std::memory_order_relaxed);
}

void PerformanceSamplingProfiler::StoreSuspendReason(DWORD reason) noexcept {
    std::atomic_ref<DWORD>(m_LastSuspendReason).store(reason, std::memory_order_relaxed);
}

// ---- Recovery

void PerformanceSamplingProfiler::RecoveryThread() {
    ThreadID current = 0;
    if (SUCCEEDED(GetInfo()->GetCurrentThreadID(&current)) && current != 0 &&
        m_Pool.FindRecord(current) == nullptr) {
        if (Log::IsEnabled(LogComponent::ThreadGt)) {
            Log::Format("PSProf::RecoveryThread tid=%p recoveryType='current'", AsPointer(current));
        }
        const UINT64 t0 = Now();
        MeasureTime time;
        time.m_Kind = GetSettings().m_MeasureKind;
        time.m_Stamp = t0;
        m_Pool.Create(time, current);
        UINT64* pCell = m_Pool.AssignOSThread(current, Platform::GetCurrentThreadId());
        if (pCell != nullptr) {
            *pCell += Now() - t0;
        }
    }
    for (size_t i = 0; i < RecoveryTableSize; ++i) {
        const ThreadID threadId = m_RecoveryThreads.Take(i);
        if (threadId != 0 && m_Pool.FindRecord(threadId) == nullptr) {
            RecoverGathered(threadId);
        }
    }
}

void PerformanceSamplingProfiler::RecoverGathered(ThreadID threadId) {
    if (Log::IsEnabled(LogComponent::ThreadGt)) {
        Log::Format("PSProf::RecoveryThread tid=%p recoveryType='gather'", AsPointer(threadId));
    }
    HANDLE hThread = nullptr;
    HRESULT hr = GetInfo()->GetHandleFromThread(threadId, &hThread);
    if (FAILED(hr)) {
        throw _hr_error("Can't get handle form thread id", hr);
    }
    DWORD osThreadId = 0;
    hr = GetInfo()->GetThreadInfo(threadId, &osThreadId);
    if (FAILED(hr)) {
        throw _hr_error("Can't get os thread id", hr);
    }
    // The record starts at the thread's own reading, whatever the kind.
    MeasureTime time;
    time.m_Kind = GetSettings().m_MeasureKind;
    time.m_Stamp = time.m_Kind == MeasureKind::ThreadTime
                       ? MeasureClock::ThreadNow(time.m_Kind, osThreadId)
                       : Now();
    m_Pool.Create(time, threadId);
    m_Pool.AssignOSThread(threadId, osThreadId);
}

// ---- Runtime suspension

HRESULT STDMETHODCALLTYPE
PerformanceSamplingProfiler::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) {
    if (Log::IsEnabled(LogComponent::RuntimeCb)) {
        Log::Format("PSProf::RuntimeSuspendStarted reason=%s",
                    SuspendReasonText(static_cast<DWORD>(suspendReason)));
    }
    StoreSuspendReason(static_cast<DWORD>(suspendReason));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::RuntimeSuspendFinished() {
    return LogOnly(LogComponent::RuntimeCb, "PSProf::RuntimeSuspendFinished");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::RuntimeSuspendAborted() {
    LogOnly(LogComponent::RuntimeCb, "PSProf::RuntimeSuspendAborted");
    StoreSuspendReason(NoSuspendReason);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::RuntimeResumeStarted() {
    auto resume = [this] {
        LogOnly(LogComponent::RuntimeCb, "PSProf::RuntimeResumeStarted");
        StoreSuspendReason(NoSuspendReason);
        RecoveryThread();
    };
    if (IsSamplingThread()) {
        // The end of a turn's own suspension: the turn holds the gate.
        return CatchAtEdge(resume, EDGE_E_CALLBACK);
    }
    MeasureGate::ReaderLock lock(m_Gate);
    return CatchAtEdge(resume, EDGE_E_CALLBACK);
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::RuntimeResumeFinished() {
    return LogOnly(LogComponent::RuntimeCb, "PSProf::RuntimeResumeFinished");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::RuntimeThreadSuspended(ThreadID threadId) {
    if (IsSamplingThread()) {
        return E_UNEXPECTED;
    }
    LogOnly(LogComponent::RuntimeCb, "PSProf::RuntimeThreadSuspended tid=%p", AsPointer(threadId));
    m_SuspendedThreads.Add(threadId);
    m_RecoveryThreads.AddOnce(threadId);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::RuntimeThreadResumed(ThreadID threadId) {
    if (IsSamplingThread()) {
        return E_UNEXPECTED;
    }
    LogOnly(LogComponent::RuntimeCb, "PSProf::RuntimeThreadResumed tid=%p", AsPointer(threadId));
    m_SuspendedThreads.RemoveFirst(threadId);
    m_RecoveryThreads.AddOnce(threadId);
    return S_OK;
}

// ---- Callbacks that only log

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::FunctionUnloadStarted(FunctionID id) {
    return LogOnly(LogComponent::FunctionCb, "PSProf::FunctionUnloadStarted fid=%p", AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::JITCompilationStarted(FunctionID id,
                                                                             BOOL fIsSafeToBlock) {
    return LogOnly(LogComponent::FunctionCb, "PSProf::JITCompilationStarted fid=%p safe=%s",
                   AsPointer(id), TrueFalse(fIsSafeToBlock));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::JITCompilationFinished(FunctionID id,
                                                                              HRESULT hrStatus,
                                                                              BOOL fIsSafeToBlock) {
    return LogOnly(LogComponent::FunctionCb,
                   "PSProf::JITCompilationFinished fid=%p hr=%08X safe=%s", AsPointer(id), hrStatus,
                   TrueFalse(fIsSafeToBlock));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::JITCachedFunctionSearchStarted(FunctionID id,
                                                                                      BOOL*) {
    return LogOnly(LogComponent::FunctionCb, "PSProf::JITCachedFunctionSearchStarted fid=%p",
                   AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::JITCachedFunctionSearchFinished(
    FunctionID id, COR_PRF_JIT_CACHE result) {
    return LogOnly(LogComponent::FunctionCb,
                   "PSProf::JITCachedFunctionSearchFinished fid=%p result=%s", AsPointer(id),
                   result == COR_PRF_CACHED_FUNCTION_FOUND ? "found" : "not_found");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::JITFunctionPitched(FunctionID id) {
    return LogOnly(LogComponent::FunctionCb, "PSProf::JITFunctionPitched fid=%p", AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::JITInlining(FunctionID callerId,
                                                                   FunctionID calleeId, BOOL*) {
    return LogOnly(LogComponent::FunctionCb, "PSProf::JITInlining callerId=%p calleeId=%p",
                   AsPointer(callerId), AsPointer(calleeId));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionThrown(ObjectID id) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionThrown oid=%p", AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionSearchFunctionEnter(FunctionID id) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionSearchFunctionEnter fid=%p",
                   AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionSearchFunctionLeave() {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionSearchFunctionLeave");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionSearchFilterEnter(FunctionID id) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionSearchFilterEnter fid=%p",
                   AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionSearchFilterLeave() {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionSearchFilterLeave");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionSearchCatcherFound(FunctionID id) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionSearchCatcherFound fid=%p",
                   AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionOSHandlerEnter(UINT_PTR) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionOSHandlerEnter");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionOSHandlerLeave(UINT_PTR) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionOSHandlerLeave");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionUnwindFunctionEnter(FunctionID id) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionUnwindFunctionEnter fid=%p",
                   AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionUnwindFunctionLeave() {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionUnwindFunctionLeave");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionUnwindFinallyEnter(FunctionID id) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionUnwindFinallyEnter fid=%p",
                   AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionUnwindFinallyLeave() {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionUnwindFinallyLeave");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionCatcherEnter(FunctionID id,
                                                                             ObjectID objectId) {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionCatcherEnter fid=%p oid=%p",
                   AsPointer(id), AsPointer(objectId));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ExceptionCatcherLeave() {
    return LogOnly(LogComponent::ExceptionCb, "PSProf::ExceptionCatcherLeave");
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::UnmanagedToManagedTransition(
    FunctionID id, COR_PRF_TRANSITION_REASON reason) {
    return LogOnly(LogComponent::TransitionCb,
                   "PSProf::UnmanagedToManagedTransition fid=%p reason=%s", AsPointer(id),
                   TransitionText(reason));
}

HRESULT STDMETHODCALLTYPE PerformanceSamplingProfiler::ManagedToUnmanagedTransition(
    FunctionID id, COR_PRF_TRANSITION_REASON reason) {
    return LogOnly(LogComponent::TransitionCb,
                   "PSProf::ManagedToUnmanagedTransition fid=%p reason=%s", AsPointer(id),
                   TransitionText(reason));
}
