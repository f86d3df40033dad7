// What the two performance profilers (tracing and sampling) share: the gatherers that give
// functions and modules stable identities, the per-thread records (the kind's
// PerformanceThreadPool), the runtime's thread and module callbacks, the timer and its frequency,
// the special fuids that stand for runtime suspensions, the snapshot header and data, and the
// memory-bounded flush of finished call trees into the open snapshot while measuring goes on.
//
// Every callback of this class runs in the callback frame: inside the measure gate as reader,
// and the time it took is added to the calling thread's top frame as internal time, so that it is
// not charged to the function running there.
#pragma once

#include <atomic>
#include <type_traits>

#include "Platform/Clock.h"
#include "Platform/Types.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "Profiler/ModulePathGatherer.h"
#include "Profiler/Performance/BaseApiPerformanceProfiler.h"
#include "Profiler/Performance/MeasureClock.h"
#include "Profiler/Performance/PerformanceThreadPool.h"
#include "Util/CatchAtEdge.h"

class BasePerformanceProfiler : public BaseApiPerformanceProfiler {
public:
    static constexpr DWORD EventMask = COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_MODULE_LOADS;
    // "QVPF" as a little-endian u32.
    static constexpr DWORD SnapshotMagic = 0x46505651;
    static constexpr WORD HeaderSectionType = 0x1000;
    static constexpr WORD HeaderSectionVersion = 0;

    // Tokens of the pseudo-functions in call trees.
    static constexpr mdToken SuspendOtherToken = 0xFF000001;
    static constexpr mdToken SuspendGcToken = 0xFF000002;
    static constexpr mdToken SuspendAppDomainShutdownToken = 0xFF000003;
    static constexpr mdToken SuspendCodePitchingToken = 0xFF000004;
    static constexpr mdToken UnwalkableSampleToken = 0xFF000005;
    static constexpr DWORD SpecialTokenCount = 5;
    // The last suspend reason when none was recorded.
    static constexpr DWORD NoSuspendReason = 0xFFFFFFFF;

    // Flush actions, from CanFlush.
    static constexpr DWORD FlushNone = 0;
    static constexpr DWORD FlushFinish = 1;  // the ended threads
    static constexpr DWORD FlushReuse = 2;   // the ended and the named threads
    static constexpr DWORD FlushAll = 3;     // every thread
    // Flush limits besides the memory threshold.
    static constexpr DWORD FinishThreadLimit = 256;
    static constexpr DWORD ReuseThreadLimit = 384;
    static constexpr DWORD FlushIntervalMs = 2500;

    // The records of one of the registry's containers: how many and their bytes.
    struct ThreadSetSize {
        DWORD m_Count = 0;
        UINT64 m_Bytes = 0;
    };
    struct FlushCounts {
        ThreadSetSize m_Active;  // running threads
        ThreadSetSize m_Reuse;   // ended threads kept for merging by name
        ThreadSetSize m_Finish;  // ended threads
    };
    // The flush action for these counts under the memory threshold.
    static DWORD ChooseFlushAction(const FlushCounts& counts, UINT64 memoryThreshold) noexcept;
    static const char* FlushActionName(DWORD action) noexcept;

    BasePerformanceProfiler(LONG* pTotalRef, Bridge* pBridge);

    // Thread and module callbacks.
    HRESULT STDMETHODCALLTYPE ThreadCreated(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE ThreadDestroyed(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE ThreadAssignedToOSThread(ThreadID managedThreadId,
                                                       DWORD osThreadId) override;
    HRESULT STDMETHODCALLTYPE ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                WCHAR name[]) override;
    HRESULT STDMETHODCALLTYPE ModuleLoadStarted(ModuleID moduleId) override;
    HRESULT STDMETHODCALLTYPE ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ModuleUnloadStarted(ModuleID moduleId) override;
    HRESULT STDMETHODCALLTYPE ModuleUnloadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ModuleAttachedToAssembly(ModuleID moduleId,
                                                       AssemblyID assemblyId) override;

    // IMeasureBridgeEvent, on the measure command thread when it has nothing queued: whether
    // finished trees should go into the open snapshot now, and doing it.
    bool NeedFlush() override;
    void Flush() override;

    // Which action the sizes of the thread records call for; none without an open snapshot.
    DWORD CanFlush(bool log);
    // Writes the records the action covers into the open snapshot, with measuring switched off
    // around it and on again at the same time; the cells it re-enabled are left in the time.
    void Flush(DWORD action, MeasureTime& time);

    UINT64 GetTimerFrequency() const noexcept { return m_TimerFrequency; }
    // The fuid of special token 0xFF000001 + index.
    DWORD GetSpecialFuid(DWORD index) const noexcept { return m_SpecialFuids[index]; }
    // The special fuid a runtime suspension for the reason stands for; 0 (no node) for the
    // reasons that stand for none.
    DWORD GetSuspendReasonFuid(DWORD reason) const noexcept;

protected:
    ~BasePerformanceProfiler() override;

    DWORD GetEventMask() override { return EventMask; }
    DWORD GetSecondEventMask() override { return EventMask; }
    void OnBeginInitialize() override;
    void OnEndShutdown() override;
    void OnAttachModuleLoad(ModuleID moduleId) override;
    DWORD GetSnapshotType() override { return SnapshotMagic; }
    DWORD GenerateSnapshotSequenceGuid(GUID* pSequence) override;
    void OnSnapshotSaved() override {}
    void WriteSnapshotHeader(ISnapShotStorage& snapshot) override;
    void WriteSnapshotData(ISnapShotStorage& snapshot) override;
    void DropSnapshotData() override;

    bool IsMeasuring() override;
    void StartMeasure(MeasureTime& time) override;
    void StopMeasure(MeasureTime& time, bool finalStop) override;
    // Groups are not offered: "Not implemented" (0x80000003).
    void BeginGroup(const WCHAR* pName) override;
    void EndGroup() override;

    // The kind's records and what the registry must do for it.
    virtual PerformanceThreadPool& GetThreadPool() = 0;
    // True exactly for thread time; "Unknown measure" for kinds above 2.
    virtual bool NeedsThreadHandles() = 0;
    // True when hooks find their record through the registry's thread-local slot.
    virtual bool NeedsThreadLocalRecord() = 0;
    virtual void OnThreadDestroyedHook(ThreadID threadId) {}
    virtual void OnModuleLoadedHook(ModuleID moduleId) {}
    virtual void OnModuleUnloadingHook(ModuleID moduleId) {}
    virtual void OnModuleAttachedHook(ModuleID moduleId) {}

    // The milliseconds tick the flush interval is measured with.
    virtual DWORD GetFlushTick() { return Platform::GetTickCount(); }
    // The bound on the bytes thread records may hold; the process-wide threshold by default.
    void SetMemoryThreshold(UINT64 bytes) { m_MemoryThreshold = bytes; }

    // The settings' timer on the calling thread.
    UINT64 Now() const noexcept { return MeasureClock::Now(GetSettings().m_MeasureKind); }

    // The callback frame: runs work inside the gate as reader and charges the time it took to
    // the internal-time cell that work returns, or, for work returning nothing, to the calling
    // thread's record found through the thread-local slot. Returns S_OK, or E_FAIL after logging
    // what work raised.
    template <class Work>
    HRESULT InCallbackFrame(Work&& work) noexcept;

    FunctionGatherer& GetFunctionGatherer() { return m_FunctionGatherer; }
    MetaDataGatherer& GetMetaDataGatherer() { return m_MetaDataGatherer; }
    ModulePathGatherer& GetModulePathGatherer() { return m_ModulePathGatherer; }

    // The last runtime suspend reason (NoSuspendReason for none), kept by the kinds.
    DWORD m_LastSuspendReason = NoSuspendReason;

private:
    FlushCounts CountThreads();
    // The calling thread's internal-time cell through the slot, or null.
    UINT64* CurrentThreadCell() noexcept;
    static void AddElapsed(UINT64* pCell, UINT64 start, UINT64 now) noexcept;
    MeasureTime CallbackTime(UINT64 t0) const;
    void LoadModule(ModuleID moduleId);

    MetaDataGatherer m_MetaDataGatherer;
    FunctionGatherer m_FunctionGatherer{&m_MetaDataGatherer};
    ModulePathGatherer m_ModulePathGatherer{&m_MetaDataGatherer};
    UINT64 m_TimerFrequency = 0;
    DWORD m_SpecialFuids[SpecialTokenCount] = {};
    // Set at construction and by every flush; both on the measure command thread afterwards.
    std::atomic<DWORD> m_LastFlushTick;
    UINT64 m_MemoryThreshold;
};

template <class Work>
HRESULT BasePerformanceProfiler::InCallbackFrame(Work&& work) noexcept {
    MeasureGate::ReaderLock lock(m_Gate);
    const UINT64 t0 = Now();
    UINT64* pCell = nullptr;
    bool completed = false;
    if constexpr (std::is_void_v<std::invoke_result_t<Work&, UINT64>>) {
        completed = LogEdgeFailure([&] { work(t0); });
        pCell = CurrentThreadCell();
    } else {
        completed = LogEdgeFailure([&] { pCell = work(t0); });
    }
    AddElapsed(pCell, t0, Now());
    return completed ? S_OK : EDGE_E_CALLBACK;
}
