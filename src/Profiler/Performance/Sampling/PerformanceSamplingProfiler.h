// The performance profiler kind that hooks no calls: a sampling thread wakes every 5 to 18 ms,
// walks the managed stack of every registered thread with the runtime's stack-snapshot service and
// turns each walk into call-tree time on the thread's SamplingThread record (the stack seen in one
// sample is charged with the time until that thread's next sample). A walk the runtime refuses
// four times, or cannot do, becomes a sample of the unwalkable-stack pseudo-function.
//
// Where the runtime offers runtime suspension (ICorProfilerInfo10, as on Linux, where another
// thread's stack may only be walked while the runtime is suspended), a turn is: SuspendRuntime,
// the measure gate as writer, every walk, ResumeRuntime, the gate released. The suspension comes
// first because the runtime calls some callbacks in cooperative mode (a starting thread's
// ThreadAssignedToOSThread): such a callback waiting for the gate would hold up a suspension
// requested under the gate for ever. The runtime reports the turn's resumption on the sampling
// thread itself, where no callback takes the gate (the thread holds it); the suspension's reason
// (the profiler's own) maps to no suspension node. The Linux runtime has each suspended thread
// report itself; a runtime that reports threads on the suspending thread is refused there.
//
// Threads: the sampling thread owns the turns and the sample buffer; the runtime's suspending and
// resuming threads write the suspended-thread and recovery tables without a lock; threads the
// profiler did not see start get their record at the next runtime resume (RecoveryThread).
#pragma once

#include <atomic>
#include <random>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Profiler/Performance/BasePerformanceProfiler.h"
#include "Profiler/Performance/Sampling/SampleBuffer.h"
#include "Profiler/Performance/Sampling/SamplingThreadPool.h"
#include "Profiler/Performance/Sampling/ThreadIdTable.h"
#include "Util/ComRef.h"
#include "Util/SafeThread.h"

class PerformanceSamplingProfiler : public BasePerformanceProfiler {
public:
    // Thread and module events, runtime suspensions, stack snapshots.
    static constexpr DWORD EventMask = BasePerformanceProfiler::EventMask |
                                       COR_PRF_MONITOR_SUSPENDS | COR_PRF_ENABLE_STACK_SNAPSHOT;
    static constexpr DWORD SecondEventMask = EventMask | COR_PRF_MONITOR_JIT_COMPILATION;

    static constexpr size_t SuspendedTableSize = 1024;
    static constexpr size_t RecoveryTableSize = 256;
    // The pause between turns while nothing is measured, and the range of the drawn one.
    static constexpr DWORD IdleIntervalMs = 10;
    static constexpr DWORD MinIntervalMs = 5;
    static constexpr DWORD IntervalChoices = 14;  // 5 to 18 ms
    static constexpr DWORD WalkAttempts = 4;
    static constexpr DWORD RetryPauseMs = 1;
    // The sampling thread's name in the system's thread lists.
    static constexpr const char* SamplingThreadName = "QV sampling";

    PerformanceSamplingProfiler(LONG* pTotalRef, Bridge* pBridge);

    // Runtime suspensions.
    HRESULT STDMETHODCALLTYPE RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendFinished() override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendAborted() override;
    HRESULT STDMETHODCALLTYPE RuntimeResumeStarted() override;
    HRESULT STDMETHODCALLTYPE RuntimeResumeFinished() override;
    // Both answer E_UNEXPECTED, and do nothing, on the sampling thread itself.
    HRESULT STDMETHODCALLTYPE RuntimeThreadSuspended(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE RuntimeThreadResumed(ThreadID threadId) override;

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
    HRESULT STDMETHODCALLTYPE
    UnmanagedToManagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;
    HRESULT STDMETHODCALLTYPE
    ManagedToUnmanagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;

    // The log text of a runtime suspend reason.
    static const char* SuspendReasonText(DWORD reason) noexcept;

protected:
    ~PerformanceSamplingProfiler() override;

    DWORD GetEventMask() override { return EventMask; }
    DWORD GetSecondEventMask() override { return SecondEventMask; }
    // Refuses a runtime without the second information interface.
    void OnBeginInitialize() override;
    // Starts the sampling thread.
    void OnEndInitialize() override;
    // Stops the sampling thread before the snapshot is saved.
    void OnBeginShutdown() override;
    void OnEndShutdown() override;
    bool IsSampling() override { return true; }

    PerformanceThreadPool& GetThreadPool() override { return m_Pool; }
    bool NeedsThreadHandles() override;
    bool NeedsThreadLocalRecord() override { return false; }
    void OnThreadDestroyedHook(ThreadID threadId) override;

private:
    static DWORD DoWorkThread(SafeThread* pThread, void* pArgument);
    void DoWork(SafeThread& thread);
    // One turn of the sampling loop; returns the pause before the next.
    DWORD Turn(SampleBuffer& buffer);
    // 5 to 18 ms.
    DWORD DrawInterval();
    void Sample(ThreadID threadId, SamplingThread& record, SampleBuffer& buffer, DWORD attempts);
    // The time a sample of the record is taken at: the sampled thread's own user time for
    // thread time, else the clock the settings chose.
    UINT64 SampleTime(const SamplingThread& record) const noexcept;
    // Makes records for threads that run in the runtime without one: the calling thread, and the
    // threads seen in suspensions since the last run.
    void RecoveryThread();
    void RecoverGathered(ThreadID threadId);
    bool IsSamplingThread() const noexcept;
    DWORD LoadSuspendReason() const noexcept;
    void StoreSuspendReason(DWORD reason) noexcept;

    SamplingThreadPool m_Pool{&m_Gate};
    // Threads the runtime holds suspended right now.
    ThreadIdTable<SuspendedTableSize> m_SuspendedThreads;
    // Threads seen in a suspension or resumption that may still need a record; drained at every
    // runtime resume.
    ThreadIdTable<RecoveryTableSize> m_RecoveryThreads;
    // Present where the runtime can be suspended for the walks. Set at initialisation, before
    // the sampling thread starts; released at shutdown after it has ended.
    ComRef<ICorProfilerInfo10> m_pInfo10;
    // The sampling thread's OS thread id while it runs, else 0.
    std::atomic<DWORD> m_SamplingThreadId{0};
    // The sampling thread's alone.
    std::minstd_rand m_Random;
    // Last, so that it is stopped before any member its procedure uses goes away.
    SafeThread m_SamplingThread;
};
