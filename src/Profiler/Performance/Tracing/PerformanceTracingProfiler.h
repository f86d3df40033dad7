// The performance profiler kind that times every managed call: the runtime calls an enter, leave
// or tailcall hook around each call, and each hook pushes or pops a frame of the calling thread's
// shadow stack and charges the time to the call tree (PerformanceThread). Runtime suspensions,
// exception unwinding and calls into native code keep the shadow stack in step with the real one.
//
// The hooks come in one specialised variant per timer (performance counter, thread time,
// time-stamp counter), precision (Fast: one reading per hook; Precision: a second reading whose
// difference is kept out of the calls' times) and hook kind, and per the id the hook receives (a
// fuid that the runtime's function id mapper returned at JIT time on the version-3 fast path, or
// the FunctionID on the version-2 and old hooks, mapped per call). One set is chosen at start-up
// and handed to the entry stubs (HookStubs), so no hook tests the settings per call.
//
// Threads: hooks and callbacks run on the application's threads and touch only the calling
// thread's record, found through the registry's thread-local slot; a thread without one (not yet
// assigned to its OS thread) is left alone. All of them pass the measure gate as readers.
#pragma once

#include <atomic>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Profiler/Performance/BasePerformanceProfiler.h"
#include "Profiler/Performance/Tracing/HookTargets.h"
#include "Profiler/Performance/Tracing/TracingThreadPool.h"
#include "Util/ComRef.h"

class PerformanceTracingProfiler : public BasePerformanceProfiler {
public:
    // Exceptions, code transitions, enter/leave hooks, suspensions, profiler images.
    static constexpr DWORD TracingEvents =
        COR_PRF_MONITOR_EXCEPTIONS | COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_ENTERLEAVE |
        COR_PRF_MONITOR_SUSPENDS | COR_PRF_USE_PROFILE_IMAGES;
    static constexpr DWORD EventMask = BasePerformanceProfiler::EventMask | TracingEvents;
    // Added unless the settings allow inlining: an inlined call would get no hooks.
    static constexpr DWORD NoInliningEvent = COR_PRF_DISABLE_INLINING;

    // Which entry stubs were installed.
    enum class HookSet { None, Old, Version2, FastPath };

    PerformanceTracingProfiler(LONG* pTotalRef, Bridge* pBridge);

    HookSet GetHookSet() const noexcept { return m_HookSet; }
    // The hook methods' name ("RdtscPrecisionLeave"), for the timer, precision and hook kind
    // (0 enter, 1 leave, 2 tailcall).
    static const char* HookName(DWORD kind, bool precise, int hook) noexcept;
    // The log text of a runtime suspend reason.
    static const char* SuspendReasonText(DWORD reason) noexcept;

    // The function id mapper: the fuid of the function, which the version-3 hooks then receive.
    // A function without one is not hooked.
    static UINT_PTR HOOKCALLTYPE Mapper(FunctionID functionId, void* clientData,
                                        BOOL* pbHookFunction);

    // Runtime suspensions.
    HRESULT STDMETHODCALLTYPE RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendFinished() override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendAborted() override;
    HRESULT STDMETHODCALLTYPE RuntimeResumeStarted() override;
    HRESULT STDMETHODCALLTYPE RuntimeResumeFinished() override;
    HRESULT STDMETHODCALLTYPE RuntimeThreadSuspended(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE RuntimeThreadResumed(ThreadID threadId) override;

    // Exceptions.
    HRESULT STDMETHODCALLTYPE ExceptionThrown(ObjectID thrownObjectId) override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFunctionEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFunctionLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFilterEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFilterLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchCatcherFound(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionOSHandlerEnter(UINT_PTR unused) override;
    HRESULT STDMETHODCALLTYPE ExceptionOSHandlerLeave(UINT_PTR unused) override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFunctionEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFunctionLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFinallyEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFinallyLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionCatcherEnter(FunctionID functionId,
                                                    ObjectID objectId) override;
    HRESULT STDMETHODCALLTYPE ExceptionCatcherLeave() override;

    // Transitions between managed and native code.
    HRESULT STDMETHODCALLTYPE
    UnmanagedToManagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;
    HRESULT STDMETHODCALLTYPE
    ManagedToUnmanagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;

    // Callbacks this kind only logs; each answers S_OK.
    HRESULT STDMETHODCALLTYPE FunctionUnloadStarted(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE JITCompilationStarted(FunctionID functionId,
                                                    BOOL fIsSafeToBlock) override;
    HRESULT STDMETHODCALLTYPE JITCompilationFinished(FunctionID functionId, HRESULT hrStatus,
                                                     BOOL fIsSafeToBlock) override;
    HRESULT STDMETHODCALLTYPE JITCachedFunctionSearchStarted(FunctionID functionId,
                                                             BOOL* pbUseCachedFunction) override;
    HRESULT STDMETHODCALLTYPE JITCachedFunctionSearchFinished(FunctionID functionId,
                                                              COR_PRF_JIT_CACHE result) override;
    HRESULT STDMETHODCALLTYPE JITFunctionPitched(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE JITInlining(FunctionID callerId, FunctionID calleeId,
                                          BOOL* pfShouldInline) override;

protected:
    ~PerformanceTracingProfiler() override;

    DWORD GetEventMask() override;
    // Installs the hooks for the settings' timer and precision.
    void OnBeginInitialize() override;
    void OnEndShutdown() override;

    PerformanceThreadPool& GetThreadPool() override { return m_Pool; }
    bool NeedsThreadHandles() override;
    bool NeedsThreadLocalRecord() override { return true; }

private:
    enum Hook { EnterHook = 0, LeaveHook = 1, TailcallHook = 2 };

    // The hook methods: a target of the entry stubs. `Mapped`: the id is a fuid (version-3 fast
    // path), else a FunctionID.
    template <DWORD Kind, bool Precise, int Which, bool Mapped>
    static void HookTarget(void* pContext, UINT_PTR id) noexcept;
    template <DWORD Kind, bool Precise, int Which, bool Mapped>
    void OnHook(UINT_PTR id) noexcept;
    // The targets for one timer and precision, with fuids or FunctionIDs.
    template <DWORD Kind, bool Precise>
    static void SelectTargets(HookTargets& fuidTargets, HookTargets& functionTargets);
    void InstallHooks();
    DWORD MapLogged(FunctionID functionId);

    // The calling thread's record when it may be worked on, else null.
    PerformanceThread* CurrentRecord() const noexcept { return m_Pool.GetThreadLocalThread(); }
    // Whether threadId is the calling thread's and it has an active record.
    PerformanceThread* SuspensionRecord(ThreadID threadId);
    // Closes every frame pushed by a runtime suspension on top of the stack.
    static void CloseSpecialFrames(PerformanceThread& thread, UINT64 now);
    // Closes the frames above the nearest open call of `fuid` when another function's frame is
    // on top, with their unwind entries; answers how many it closed.
    static DWORD CloseFramesAbove(PerformanceThread& thread, DWORD fuid, UINT64 now);
    // Closes the top frame as the end of the function, in the unwinding callback's frame.
    void LeaveByCallback(PerformanceThread& thread, DWORD fuid, UINT64 t0);
    // A callback that logs and sets the record's unwinding flag.
    HRESULT SetUnwinding(bool unwinding, const char* pText, FunctionID functionId, bool withId);
    DWORD LoadSuspendReason() const noexcept;
    void StoreSuspendReason(DWORD reason) noexcept;

    TracingThreadPool m_Pool{&m_Gate};
    HookSet m_HookSet = HookSet::None;
    // What the entry stubs call: with the fuid the mapper gave (fast path) or the FunctionID.
    HookTargets m_Targets{};
    // The same hooks for a FunctionID, which the transitions use to open and close frames.
    HookTargets m_FunctionTargets{};
    bool m_Precise = false;
    // Set at shutdown, before the gatherers close.
    std::atomic<bool> m_Closed{false};
};
