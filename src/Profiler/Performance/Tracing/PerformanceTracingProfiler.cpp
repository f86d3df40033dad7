#include "Profiler/Performance/Tracing/PerformanceTracingProfiler.h"

#include <atomic>
#include <stdexcept>

#include "Profiler/Performance/MeasureClock.h"
#include "Profiler/Performance/Tracing/HookStubs.h"
#include "Util/Assert.h"
#include "Util/CatchAtEdge.h"
#include "Util/HrError.h"
#include "Util/Log.h"

namespace {

// The one tracing profiler of the process.
PerformanceTracingProfiler* g_pThis = nullptr;

const char* TrueFalse(BOOL value) {
    return value != 0 ? "true" : "false";
}

const char* TransitionText(COR_PRF_TRANSITION_REASON reason) {
    return reason == COR_PRF_TRANSITION_RETURN ? "return" : "call";
}

const void* AsPointer(UINT_PTR id) {
    return reinterpret_cast<const void*>(id);
}

// A callback this kind only logs.
template <class... Args>
HRESULT LogOnly(LogComponent component, const char* pFormat, Args... args) {
    if (Log::IsEnabled(component)) {
        Log::Format(pFormat, args...);
    }
    return S_OK;
}

}  // namespace

PerformanceTracingProfiler::PerformanceTracingProfiler(LONG* pTotalRef, Bridge* pBridge)
    : BasePerformanceProfiler(pTotalRef, pBridge) {
    QV_ASSERT(g_pThis == NULL);
    g_pThis = this;
}

PerformanceTracingProfiler::~PerformanceTracingProfiler() {
    // The hooks stay installed for the process's life; once this object is gone they do nothing.
    if (HookStubs::GetTargets() == &m_Targets) {
        HookStubs::SetTargets(nullptr);
    }
    QV_ASSERT(g_pThis != NULL);
    g_pThis = nullptr;
}

const char* PerformanceTracingProfiler::HookName(DWORD kind, bool precise, int hook) noexcept {
    static constexpr const char* Names[3][2][3] = {
        {{"PerformanceCounterFastEnter", "PerformanceCounterFastLeave",
          "PerformanceCounterFastTailcall"},
         {"PerformanceCounterPrecisionEnter", "PerformanceCounterPrecisionLeave",
          "PerformanceCounterPrecisionTailcall"}},
        {{"ThreadTimeFastEnter", "ThreadTimeFastLeave", "ThreadTimeFastTailcall"},
         {"ThreadTimePrecisionEnter", "ThreadTimePrecisionLeave", "ThreadTimePrecisionTailcall"}},
        {{"RdtscFastEnter", "RdtscFastLeave", "RdtscFastTailcall"},
         {"RdtscPrecisionEnter", "RdtscPrecisionLeave", "RdtscPrecisionTailcall"}},
    };
    if (kind > MeasureKind::Rdtsc || hook < 0 || hook > 2) {
        return "???";
    }
    return Names[kind][precise ? 1 : 0][hook];
}

const char* PerformanceTracingProfiler::SuspendReasonText(DWORD reason) noexcept {
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

// ---- Start-up

DWORD PerformanceTracingProfiler::GetEventMask() {
    return EventMask | (GetSettings().m_AllowInlining ? 0 : NoInliningEvent);
}

void PerformanceTracingProfiler::OnEndShutdown() {
    // Before the gatherers close under the gate: a mapping that comes later is declined.
    m_Closed.store(true);
    BasePerformanceProfiler::OnEndShutdown();
}

bool PerformanceTracingProfiler::NeedsThreadHandles() {
    const DWORD kind = GetSettings().m_MeasureKind;
    if (kind > MeasureKind::Rdtsc) {
        throw std::runtime_error("Unknown measure");
    }
    return kind == MeasureKind::ThreadTime;
}

void PerformanceTracingProfiler::OnBeginInitialize() {
    Log::Message("PTProf::OnBeginInitialize");
    // Checked first: the base's set-up would refuse the kind with a less telling text.
    if (GetSettings().m_MeasureKind > MeasureKind::Rdtsc) {
        throw std::runtime_error("Processor architecture is incompatible with measure option");
    }
    BasePerformanceProfiler::OnBeginInitialize();
    InstallHooks();
}

template <DWORD Kind, bool Precise>
void PerformanceTracingProfiler::SelectTargets(HookTargets& fuidTargets,
                                               HookTargets& functionTargets) {
    fuidTargets.pEnter = &HookTarget<Kind, Precise, EnterHook, true>;
    fuidTargets.pLeave = &HookTarget<Kind, Precise, LeaveHook, true>;
    fuidTargets.pTailcall = &HookTarget<Kind, Precise, TailcallHook, true>;
    functionTargets.pEnter = &HookTarget<Kind, Precise, EnterHook, false>;
    functionTargets.pLeave = &HookTarget<Kind, Precise, LeaveHook, false>;
    functionTargets.pTailcall = &HookTarget<Kind, Precise, TailcallHook, false>;
}

void PerformanceTracingProfiler::InstallHooks() {
    const DWORD kind = GetSettings().m_MeasureKind;
    m_Precise = GetSettings().m_Precision;
    HookTargets fuidTargets{};
    HookTargets functionTargets{};
    switch (kind * 2 + (m_Precise ? 1 : 0)) {
        case MeasureKind::PerformanceCounter * 2:
            SelectTargets<MeasureKind::PerformanceCounter, false>(fuidTargets, functionTargets);
            break;
        case MeasureKind::PerformanceCounter * 2 + 1:
            SelectTargets<MeasureKind::PerformanceCounter, true>(fuidTargets, functionTargets);
            break;
        case MeasureKind::ThreadTime * 2:
            SelectTargets<MeasureKind::ThreadTime, false>(fuidTargets, functionTargets);
            break;
        case MeasureKind::ThreadTime * 2 + 1:
            SelectTargets<MeasureKind::ThreadTime, true>(fuidTargets, functionTargets);
            break;
        case MeasureKind::Rdtsc * 2:
            SelectTargets<MeasureKind::Rdtsc, false>(fuidTargets, functionTargets);
            break;
        case MeasureKind::Rdtsc * 2 + 1:
            SelectTargets<MeasureKind::Rdtsc, true>(fuidTargets, functionTargets);
            break;
        default:
            throw std::runtime_error("Processor architecture is incompatible with measure option");
    }
    fuidTargets.pContext = this;
    functionTargets.pContext = this;
    m_FunctionTargets = functionTargets;

    ComRef<ICorProfilerInfo3> pInfo3;
    pInfo3.QueryFrom(GetInfo(), IID_ICorProfilerInfo3);
    if (pInfo3.Get() != nullptr && HookStubs::HasFastPath()) {
        // The mapper hands each function's fuid to the fast-path hooks once, at JIT time.
        m_Targets = fuidTargets;
        HookStubs::SetTargets(&m_Targets);
        HRESULT hr = pInfo3->SetFunctionIDMapper2(&Mapper, this);
        if (FAILED(hr)) {
            throw _hr_error("Can't set function id mapper", hr);
        }
        const HookStubs::FastPath hooks = HookStubs::FastPathHooks();
        hr = pInfo3->SetEnterLeaveFunctionHooks3(hooks.pEnter, hooks.pLeave, hooks.pTailcall);
        if (FAILED(hr)) {
            throw _hr_error("Can't set ELT3 hooks", hr);
        }
        m_HookSet = HookSet::FastPath;
        Log::Message("PTProf::OnBeginInitialize ELT3");
        return;
    }
    m_Targets = functionTargets;
    HookStubs::SetTargets(&m_Targets);
    if (ICorProfilerInfo2* pInfo2 = GetInfo2()) {
        const HookStubs::Version2 hooks = HookStubs::Version2Hooks();
        const HRESULT hr =
            pInfo2->SetEnterLeaveFunctionHooks2(hooks.pEnter, hooks.pLeave, hooks.pTailcall);
        if (FAILED(hr)) {
            throw _hr_error("Can't set ELT2 hooks", hr);
        }
        m_HookSet = HookSet::Version2;
        Log::Message("PTProf::OnBeginInitialize ELT2");
        return;
    }
    const HookStubs::Old hooks = HookStubs::OldHooks();
    const HRESULT hr =
        GetInfo()->SetEnterLeaveFunctionHooks(hooks.pEnter, hooks.pLeave, hooks.pTailcall);
    if (FAILED(hr)) {
        throw _hr_error("Can't set ELT hooks", hr);
    }
    m_HookSet = HookSet::Old;
    Log::Message("PTProf::OnBeginInitialize ELT");
}

// ---- Mapping

DWORD PerformanceTracingProfiler::MapLogged(FunctionID functionId) {
    const DWORD fuid = GetFunctionGatherer().MapFunction(functionId);
    if (Log::IsEnabled(LogComponent::MapperEp)) {
        Log::Format("PTProf::Mapper fid=%p res=ok fuid=%p", AsPointer(functionId), AsPointer(fuid));
    }
    return fuid;
}

UINT_PTR HOOKCALLTYPE PerformanceTracingProfiler::Mapper(FunctionID functionId, void* clientData,
                                                         BOOL* pbHookFunction) {
    auto* pThis = static_cast<PerformanceTracingProfiler*>(clientData);
    DWORD fuid = 0;
    {
        // The JIT maps functions on any thread, also once the gatherers are closed.
        MeasureGate::ReaderLock lock(pThis->m_Gate);
        if (!pThis->m_Closed.load()) {
            LogEdgeFailure([&] { fuid = pThis->MapLogged(functionId); });
        }
    }
    // Without a fuid the runtime would hand the hooks the FunctionID itself: such a function is
    // better not hooked at all.
    if (pbHookFunction != nullptr) {
        *pbHookFunction = fuid != 0 ? TRUE : FALSE;
    }
    return fuid;
}

// ---- Hooks

template <DWORD Kind, bool Precise, int Which, bool Mapped>
void PerformanceTracingProfiler::HookTarget(void* pContext, UINT_PTR id) noexcept {
    static_cast<PerformanceTracingProfiler*>(pContext)->OnHook<Kind, Precise, Which, Mapped>(id);
}

template <DWORD Kind, bool Precise, int Which, bool Mapped>
void PerformanceTracingProfiler::OnHook(UINT_PTR id) noexcept {
    // The gate first: the records and the slot go away under it at shutdown.
    MeasureGate::ReaderLock lock(m_Gate);
    PerformanceThread* pThread = CurrentRecord();
    if (pThread == nullptr) {
        return;  // not (or no longer) a thread the registry knows: nothing to keep in step
    }
    LogEdgeFailure([&] {
        const bool measuring = pThread->IsMeasuring();
        const UINT64 t1 = measuring ? MeasureClock::Now(Kind) : 0;
        DWORD fuid;
        if constexpr (Mapped) {
            fuid = static_cast<DWORD>(id);
        } else {
            fuid = MapLogged(static_cast<FunctionID>(id));
        }
        if (Log::IsEnabled(LogComponent::FunctionEp)) [[unlikely]] {
            Log::Format("PTProf::%s fid=%p", HookName(Kind, Precise, Which), AsPointer(fuid));
        }
        if constexpr (Which == EnterHook) {
            pThread->EnterFrame(fuid, t1);
        } else {
            pThread->LeaveFrame(fuid, t1);
        }
        if constexpr (Precise) {
            // The hook's own work after its first reading: kept out of the callee's time (enter)
            // or the caller's (leave).
            if (measuring) {
                pThread->AddInternalTime(MeasureClock::Now(Kind) - t1);
            }
        }
    });
}

// ---- Runtime suspension

DWORD PerformanceTracingProfiler::LoadSuspendReason() const noexcept {
    return std::atomic_ref<DWORD>(const_cast<DWORD&>(m_LastSuspendReason))
        .load(std::memory_order_relaxed);
}

void PerformanceTracingProfiler::StoreSuspendReason(DWORD reason) noexcept {
    std::atomic_ref<DWORD>(m_LastSuspendReason).store(reason, std::memory_order_relaxed);
}

HRESULT STDMETHODCALLTYPE
PerformanceTracingProfiler::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) {
    LogOnly(LogComponent::RuntimeCb, "PTProf::RuntimeSuspendStarted reason=%s",
            SuspendReasonText(static_cast<DWORD>(suspendReason)));
    StoreSuspendReason(static_cast<DWORD>(suspendReason));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::RuntimeSuspendFinished() {
    return LogOnly(LogComponent::RuntimeCb, "PTProf::RuntimeSuspendFinished");
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::RuntimeSuspendAborted() {
    LogOnly(LogComponent::RuntimeCb, "PTProf::RuntimeSuspendAborted");
    StoreSuspendReason(NoSuspendReason);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::RuntimeResumeStarted() {
    LogOnly(LogComponent::RuntimeCb, "PTProf::RuntimeResumeStarted");
    StoreSuspendReason(NoSuspendReason);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::RuntimeResumeFinished() {
    return LogOnly(LogComponent::RuntimeCb, "PTProf::RuntimeResumeFinished");
}

PerformanceThread* PerformanceTracingProfiler::SuspensionRecord(ThreadID threadId) {
    ThreadID current = 0;
    if (FAILED(GetInfo()->GetCurrentThreadID(&current)) || current != threadId) {
        return nullptr;
    }
    PerformanceThread* pThread = CurrentRecord();
    return pThread != nullptr && pThread->IsActive() ? pThread : nullptr;
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::RuntimeThreadSuspended(ThreadID threadId) {
    return InCallbackFrame([&](UINT64 t0) -> UINT64* {
        PerformanceThread* pThread = SuspensionRecord(threadId);
        if (pThread == nullptr) {
            return nullptr;
        }
        LogOnly(LogComponent::RuntimeCb, "PTProf::RuntimeThreadSuspended tid=%p",
                AsPointer(threadId));
        const DWORD fuid = GetSuspendReasonFuid(LoadSuspendReason());
        pThread->SetSuspensionFuid(fuid);
        if (fuid != 0) {
            pThread->EnterSpecialFrame(fuid, t0);
        }
        // The cell on top now: the suspension's own frame, or the running function's.
        return m_Precise ? pThread->GetInternalTimeCell() : nullptr;
    });
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::RuntimeThreadResumed(ThreadID threadId) {
    return InCallbackFrame([&](UINT64 t0) -> UINT64* {
        PerformanceThread* pThread = SuspensionRecord(threadId);
        if (pThread == nullptr) {
            return nullptr;
        }
        LogOnly(LogComponent::RuntimeCb, "PTProf::RuntimeThreadResumed tid=%p",
                AsPointer(threadId));
        const DWORD fuid = pThread->GetSuspensionFuid();
        if (fuid != 0) {
            pThread->SetSuspensionFuid(0);
            pThread->LeaveFrame(fuid, t0);
        }
        return m_Precise ? pThread->GetInternalTimeCell() : nullptr;
    });
}

// ---- Exceptions

void PerformanceTracingProfiler::CloseSpecialFrames(PerformanceThread& thread, UINT64 now) {
    while (thread.GetFrameCount() > 1 && thread.GetTopFrame().m_Special != 0) {
        thread.CloseTopFrame(now);
        // Closed here, so a later resumption has no frame of its own left to close.
        thread.SetSuspensionFuid(0);
    }
}

DWORD PerformanceTracingProfiler::CloseFramesAbove(PerformanceThread& thread, DWORD fuid,
                                                   UINT64 now) {
    // The nearest call of the function, and whether another function's frame lies above it.
    DWORD index = thread.GetFrameCount() - 1;
    bool covered = false;
    for (; index > 0; --index) {
        const CallFrame& frame = thread.GetFrame(index);
        if (frame.m_Special == 0) {
            if (frame.m_Fuid == fuid) {
                break;
            }
            covered = true;
        }
    }
    if (index == 0 || !covered) {
        return 0;  // on top, or not open here: the unwind's end closes the top frame as usual
    }
    const DWORD before = thread.GetFrameCount();
    std::vector<DWORD>& unwindList = thread.GetUnwindList();
    for (;;) {
        CloseSpecialFrames(thread, now);
        if (thread.GetFrameCount() <= index + 1) {
            break;
        }
        if (!unwindList.empty() && unwindList.back() == thread.GetTopFrame().m_Fuid) {
            unwindList.pop_back();  // an unwind that was never finished
        }
        thread.CloseTopFrame(now);
    }
    return before - thread.GetFrameCount();
}

void PerformanceTracingProfiler::LeaveByCallback(PerformanceThread& thread, DWORD fuid, UINT64 t0) {
    CloseSpecialFrames(thread, t0);
    thread.LeaveFrame(fuid, t0);
}

HRESULT PerformanceTracingProfiler::SetUnwinding(bool unwinding, const char* pText,
                                                 FunctionID functionId, bool withId) {
    return InCallbackFrame([&](UINT64) {
        if (Log::IsEnabled(LogComponent::ExceptionCb)) {
            if (withId) {
                Log::Format("PTProf::%s fid=%p", pText, AsPointer(functionId));
            } else {
                Log::Format("PTProf::%s", pText);
            }
        }
        if (PerformanceThread* pThread = CurrentRecord()) {
            pThread->SetUnwinding(unwinding);
        }
    });
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionThrown(ObjectID thrownObjectId) {
    return InCallbackFrame([&](UINT64) {
        LogOnly(LogComponent::ExceptionCb, "PTProf::ExceptionThrown oid=%p",
                AsPointer(thrownObjectId));
        if (PerformanceThread* pThread = CurrentRecord()) {
            pThread->SetUnwinding(false);
        }
    });
}

HRESULT STDMETHODCALLTYPE
PerformanceTracingProfiler::ExceptionSearchFunctionEnter(FunctionID functionId) {
    return SetUnwinding(false, "ExceptionSearchFunctionEnter", functionId, true);
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionSearchFunctionLeave() {
    return SetUnwinding(false, "ExceptionSearchFunctionLeave", 0, false);
}

HRESULT STDMETHODCALLTYPE
PerformanceTracingProfiler::ExceptionSearchFilterEnter(FunctionID functionId) {
    return SetUnwinding(false, "ExceptionSearchFilterEnter", functionId, true);
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionSearchFilterLeave() {
    return SetUnwinding(false, "ExceptionSearchFilterLeave", 0, false);
}

HRESULT STDMETHODCALLTYPE
PerformanceTracingProfiler::ExceptionSearchCatcherFound(FunctionID functionId) {
    return SetUnwinding(false, "ExceptionSearchCatcherFound", functionId, true);
}

HRESULT STDMETHODCALLTYPE
PerformanceTracingProfiler::ExceptionUnwindFinallyEnter(FunctionID functionId) {
    return SetUnwinding(false, "ExceptionUnwindFinallyEnter", functionId, true);
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionUnwindFinallyLeave() {
    // The function's unwind goes on after its finally block.
    return SetUnwinding(true, "ExceptionUnwindFinallyLeave", 0, false);
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionCatcherLeave() {
    return SetUnwinding(false, "ExceptionCatcherLeave", 0, false);
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionOSHandlerEnter(UINT_PTR) {
    return LogOnly(LogComponent::ExceptionCb, "PTProf::ExceptionOSHandlerEnter");
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionOSHandlerLeave(UINT_PTR) {
    return LogOnly(LogComponent::ExceptionCb, "PTProf::ExceptionOSHandlerLeave");
}

HRESULT STDMETHODCALLTYPE
PerformanceTracingProfiler::ExceptionUnwindFunctionEnter(FunctionID functionId) {
    return InCallbackFrame([&](UINT64 t0) {
        PerformanceThread* pThread = CurrentRecord();
        if (pThread == nullptr) {
            return;
        }
        const DWORD fuid = MapLogged(functionId);
        LogOnly(LogComponent::ExceptionCb, "PTProf::ExceptionUnwindFunctionEnter fid=%p(%p)",
                AsPointer(fuid), AsPointer(functionId));
        // An exception that passes through native code (a reflection call, a class constructor)
        // ends the unwind of the functions below that code without telling: their frames are
        // still on top when the runtime unwinds a caller. They were left by then.
        if (const DWORD closed = CloseFramesAbove(*pThread, fuid, t0)) {
            LogOnly(LogComponent::ExceptionCb,
                    "PTProf::ExceptionUnwindFunctionEnter closed=%u (left through native code)",
                    closed);
        }
        pThread->GetUnwindList().push_back(fuid);
        pThread->SetUnwinding(true);
    });
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionUnwindFunctionLeave() {
    return InCallbackFrame([&](UINT64 t0) {
        PerformanceThread* pThread = CurrentRecord();
        const bool unwinding = pThread != nullptr && pThread->IsUnwinding();
        LogOnly(LogComponent::ExceptionCb, "PTProf::ExceptionUnwindFunctionLeave%s",
                unwinding ? "" : " status=unexpected");
        if (!unwinding) {
            return;
        }
        // The runtime calls no leave hook for a function an exception leaves: this closes it.
        pThread->SetUnwinding(false);
        std::vector<DWORD>& unwindList = pThread->GetUnwindList();
        if (unwindList.empty()) {
            throw std::runtime_error("Stack is empty");
        }
        const DWORD fuid = unwindList.back();
        unwindList.pop_back();
        LeaveByCallback(*pThread, fuid, t0);
    });
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ExceptionCatcherEnter(FunctionID functionId,
                                                                            ObjectID objectId) {
    return InCallbackFrame([&](UINT64 t0) {
        PerformanceThread* pThread = CurrentRecord();
        if (pThread == nullptr) {
            return;
        }
        const DWORD fuid = MapLogged(functionId);
        LogOnly(LogComponent::ExceptionCb, "PTProf::ExceptionCatcherEnter fid=%p(%p) oid=%p",
                AsPointer(fuid), AsPointer(functionId), AsPointer(objectId));
        std::vector<DWORD>& unwindList = pThread->GetUnwindList();
        if (unwindList.empty() || unwindList.back() != fuid) {
            Log::Warning("Unexpected exception function identifier");
        }
        if (!unwindList.empty()) {
            unwindList.pop_back();
        }
        // The catcher's own frame stays open: it goes on running.
        CloseSpecialFrames(*pThread, t0);
    });
}

// ---- Transitions

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::ManagedToUnmanagedTransition(
    FunctionID functionId, COR_PRF_TRANSITION_REASON reason) {
    LogOnly(LogComponent::TransitionCb, "PTProf::ManagedToUnmanagedTransition fid=%p reason=%s",
            AsPointer(functionId), TransitionText(reason));
    if (reason == COR_PRF_TRANSITION_CALL && m_FunctionTargets.pEnter != nullptr) {
        // Native code called from managed code is timed as a call of that function.
        m_FunctionTargets.pEnter(this, functionId);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::UnmanagedToManagedTransition(
    FunctionID functionId, COR_PRF_TRANSITION_REASON reason) {
    LogOnly(LogComponent::TransitionCb, "PTProf::UnmanagedToManagedTransition fid=%p reason=%s",
            AsPointer(functionId), TransitionText(reason));
    if (reason == COR_PRF_TRANSITION_RETURN && m_FunctionTargets.pLeave != nullptr) {
        m_FunctionTargets.pLeave(this, functionId);
    }
    return S_OK;
}

// ---- Callbacks that only log

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::FunctionUnloadStarted(FunctionID id) {
    return LogOnly(LogComponent::FunctionCb, "PTProf::FunctionUnloadStarted fid=%p", AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::JITCompilationStarted(FunctionID id,
                                                                            BOOL fIsSafeToBlock) {
    return LogOnly(LogComponent::FunctionCb, "PTProf::JITCompilationStarted fid=%p safe=%s",
                   AsPointer(id), TrueFalse(fIsSafeToBlock));
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::JITCompilationFinished(FunctionID id,
                                                                             HRESULT hrStatus,
                                                                             BOOL fIsSafeToBlock) {
    return LogOnly(LogComponent::FunctionCb,
                   "PTProf::JITCompilationFinished fid=%p hr=%08X safe=%s", AsPointer(id), hrStatus,
                   TrueFalse(fIsSafeToBlock));
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::JITCachedFunctionSearchStarted(FunctionID id,
                                                                                     BOOL*) {
    return LogOnly(LogComponent::FunctionCb, "PTProf::JITCachedFunctionSearchStarted fid=%p",
                   AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::JITCachedFunctionSearchFinished(
    FunctionID id, COR_PRF_JIT_CACHE result) {
    return LogOnly(LogComponent::FunctionCb,
                   "PTProf::JITCachedFunctionSearchFinished fid=%p result=%s", AsPointer(id),
                   result == COR_PRF_CACHED_FUNCTION_FOUND ? "found" : "not_found");
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::JITFunctionPitched(FunctionID id) {
    return LogOnly(LogComponent::FunctionCb, "PTProf::JITFunctionPitched fid=%p", AsPointer(id));
}

HRESULT STDMETHODCALLTYPE PerformanceTracingProfiler::JITInlining(FunctionID callerId,
                                                                  FunctionID calleeId, BOOL*) {
    return LogOnly(LogComponent::FunctionCb, "PTProf::JITInlining callerId=%p calleeId=%p",
                   AsPointer(callerId), AsPointer(calleeId));
}
