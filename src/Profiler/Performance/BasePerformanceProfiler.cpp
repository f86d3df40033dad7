#include "Profiler/Performance/BasePerformanceProfiler.h"

#include <algorithm>
#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Platform/Com.h"
#include "ProgressIndicator/BridgeProgressIndicator.h"
#include "ProgressIndicator/ChildProgressIndicator.h"
#include "Util/CrError.h"
#include "Util/HrError.h"
#include "WinCE/Bridge.h"

namespace {

// Progress units of a snapshot's data: the thread trees, the module paths, the metadata.
constexpr DWORD SnapshotDataUnits = 45;
constexpr DWORD ThreadTreeUnits = 40;
constexpr DWORD ModulePathUnits = 1;
constexpr DWORD MetaDataUnits = 4;

// The pool's write mode for a flush action: what the registry hands out.
DWORD WriteModeOf(DWORD action) {
    switch (action) {
        case BasePerformanceProfiler::FlushFinish:
            return static_cast<DWORD>(ThreadRegistry::Scope::Ended);
        case BasePerformanceProfiler::FlushReuse:
            return static_cast<DWORD>(ThreadRegistry::Scope::EndedAndNamed);
        default:
            return static_cast<DWORD>(ThreadRegistry::Scope::All);
    }
}

IBridgeControl* ControlOf(Bridge* pBridge) {
    return pBridge != nullptr ? pBridge->GetControl() : nullptr;
}

}  // namespace

BasePerformanceProfiler::BasePerformanceProfiler(LONG* pTotalRef, Bridge* pBridge)
    : BaseApiPerformanceProfiler(pTotalRef, pBridge),
      m_LastFlushTick(Platform::GetTickCount()),
      m_MemoryThreshold(MemoryThreshold) {}

BasePerformanceProfiler::~BasePerformanceProfiler() = default;

// ---- Flush decisions

DWORD BasePerformanceProfiler::ChooseFlushAction(const FlushCounts& counts,
                                                 UINT64 memoryThreshold) noexcept {
    const UINT64 endedBytes = counts.m_Finish.m_Bytes;
    const UINT64 keptBytes = endedBytes + counts.m_Reuse.m_Bytes;
    DWORD action = FlushNone;
    if (counts.m_Finish.m_Count >= FinishThreadLimit || memoryThreshold / 3 <= endedBytes) {
        action = FlushFinish;
    }
    if (UINT64{counts.m_Finish.m_Count} + counts.m_Reuse.m_Count >= ReuseThreadLimit ||
        memoryThreshold / 2 <= keptBytes) {
        action = FlushReuse;
    }
    if (memoryThreshold <= keptBytes + counts.m_Active.m_Bytes) {
        action = FlushAll;
    }
    return action;
}

const char* BasePerformanceProfiler::FlushActionName(DWORD action) noexcept {
    static constexpr const char* Names[] = {"none", "finish", "reuse", "all"};
    return action < std::size(Names) ? Names[action] : "???";
}

BasePerformanceProfiler::FlushCounts BasePerformanceProfiler::CountThreads() {
    FlushCounts counts;
    auto count = [this](ThreadRegistry::Container container, ThreadSetSize& size) {
        GetThreadPool().ForEach(container, [&size](BaseThread& thread) {
            ++size.m_Count;
            size.m_Bytes += static_cast<PerformanceThread&>(thread).GetSize();
        });
    };
    count(ThreadRegistry::Container::Active, counts.m_Active);
    count(ThreadRegistry::Container::Named, counts.m_Reuse);
    count(ThreadRegistry::Container::Ended, counts.m_Finish);
    return counts;
}

DWORD BasePerformanceProfiler::CanFlush(bool log) {
    if (!IsSnapshotOpen()) {
        return FlushNone;
    }
    const FlushCounts counts = CountThreads();
    const DWORD action = ChooseFlushAction(counts, m_MemoryThreshold);
    if (log) {
        Log::Format(
            "BPProf::CanFlush flushAction=%s activeThreads=%u(%llu) reuseThreads=%u(%llu) "
            "finishThreads=%u(%llu)",
            FlushActionName(action), counts.m_Active.m_Count,
            static_cast<unsigned long long>(counts.m_Active.m_Bytes), counts.m_Reuse.m_Count,
            static_cast<unsigned long long>(counts.m_Reuse.m_Bytes), counts.m_Finish.m_Count,
            static_cast<unsigned long long>(counts.m_Finish.m_Bytes));
    }
    return action;
}

bool BasePerformanceProfiler::NeedFlush() {
    if (IsErrorReported()) {
        // The run has failed: an open snapshot only waits to be dropped.
        MeasureGate::ReaderLock lock(m_Gate);
        return IsSnapshotOpen();
    }
    if (GetFlushTick() - m_LastFlushTick.load(std::memory_order_relaxed) < FlushIntervalMs) {
        return false;
    }
    MeasureGate::ReaderLock lock(m_Gate);
    return CanFlush(false) != FlushNone;
}

void BasePerformanceProfiler::Flush() {
    MeasureGate::WriterLock lock(m_Gate);
    // The command thread ends on anything raised here, so failures stop at this edge.
    LogEdgeFailure([this] {
        MeasureTime time = StampTime();
        if (!IsErrorReported() || !IsSnapshotOpen()) {
            Flush(CanFlush(true), time);
        } else {
            PerformanceThreadPool& pool = GetThreadPool();
            if (pool.IsMeasuring()) {
                pool.Disable(PerformanceThreadPool::TimeFunctionOf(time), time, false);
            }
            DropSnapshot();
        }
        CompensateSwitch(time);
    });
}

void BasePerformanceProfiler::Flush(DWORD action, MeasureTime& time) {
    if (action != FlushNone && IsSnapshotOpen()) {
        BridgeProgressIndicator progress(ControlOf(GetBridge()), IBridgeControl::OperationFlush);
        PerformanceThreadPool& pool = GetThreadPool();
        const PerformanceThreadPool::TimeFunction timeOf =
            PerformanceThreadPool::TimeFunctionOf(time);
        const bool wasMeasuring = pool.IsMeasuring();
        if (wasMeasuring) {
            pool.Disable(timeOf, time, false);
        }
        pool.WriteAndDelete(&progress, GetOpenSnapshot(), WriteModeOf(action), &m_FunctionGatherer);
        if (!IsErrorReported()) {
            if (wasMeasuring) {
                time.m_Cells = pool.Enable(timeOf, time, false);
            }
        } else {
            DropSnapshot();
        }
    }
    m_LastFlushTick.store(GetFlushTick(), std::memory_order_relaxed);
}

// ---- Measuring

bool BasePerformanceProfiler::IsMeasuring() {
    return GetThreadPool().IsMeasuring();
}

void BasePerformanceProfiler::StartMeasure(MeasureTime& time) {
    time.m_Cells = GetThreadPool().Enable(PerformanceThreadPool::TimeFunctionOf(time), time, true);
}

void BasePerformanceProfiler::StopMeasure(MeasureTime& time, bool finalStop) {
    GetThreadPool().Disable(PerformanceThreadPool::TimeFunctionOf(time), time, !finalStop);
}

void BasePerformanceProfiler::BeginGroup(const WCHAR*) {
    throw _cr_error("Not implemented", ResultNotImplemented);
}

void BasePerformanceProfiler::EndGroup() {
    throw _cr_error("Not implemented", ResultNotImplemented);
}

DWORD BasePerformanceProfiler::GetSuspendReasonFuid(DWORD reason) const noexcept {
    switch (reason) {
        case COR_PRF_SUSPEND_OTHER:
        case COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER:
        case NoSuspendReason:
            return m_SpecialFuids[0];
        case COR_PRF_SUSPEND_FOR_GC:
        case COR_PRF_SUSPEND_FOR_GC_PREP:
            return m_SpecialFuids[1];
        case COR_PRF_SUSPEND_FOR_APPDOMAIN_SHUTDOWN:
            return m_SpecialFuids[2];
        case COR_PRF_SUSPEND_FOR_CODE_PITCHING:
            return m_SpecialFuids[3];
        default:
            return 0;
    }
}

// ---- Life cycle and snapshots

void BasePerformanceProfiler::OnBeginInitialize() {
    Log::Message("BPProf::OnBeginInitialize");
    const PerformanceSettings& settings = GetSettings();
    m_TimerFrequency = MeasureClock::Frequency(settings.m_MeasureKind);
    m_MetaDataGatherer.Create();
    m_ModulePathGatherer.Create(GetInfo());
    m_FunctionGatherer.Create(GetInfo());
    GetThreadPool().Create(
        GetInfo(),
        settings.m_ThreadRegistryOption ? ThreadRegistry::MergeNamed : ThreadRegistry::MergeNever,
        NeedsThreadLocalRecord(), NeedsThreadHandles());
    for (DWORD i = 0; i < SpecialTokenCount; ++i) {
        m_SpecialFuids[i] = m_FunctionGatherer.MapSpecialToken(SuspendOtherToken + i);
    }
}

void BasePerformanceProfiler::OnEndShutdown() {
    Log::Message("BPProf::OnEndShutdown");
    MeasureGate::WriterLock lock(m_Gate);
    GetThreadPool().Close();
    m_FunctionGatherer.Close();
    m_ModulePathGatherer.Close();
    m_MetaDataGatherer.Close();
}

DWORD BasePerformanceProfiler::GenerateSnapshotSequenceGuid(GUID* pSequence) {
    const HRESULT hr = CoCreateGuid(pSequence);
    if (FAILED(hr)) {
        throw _hr_error("Can't generate snapshot sequence guid", hr);
    }
    return 0;
}

void BasePerformanceProfiler::WriteSnapshotHeader(ISnapShotStorage& snapshot) {
    IWriteSeekBridgeStream* pSection = snapshot.CreateSection();
    WriteU64(*pSection, m_TimerFrequency);
    snapshot.CloseSection(pSection, HeaderSectionType, HeaderSectionVersion);
}

void BasePerformanceProfiler::WriteSnapshotData(ISnapShotStorage& snapshot) {
    BridgeProgressIndicator progress(ControlOf(GetBridge()),
                                     IBridgeControl::OperationWriteSnapshot);
    progress.Begin(SnapshotDataUnits);
    {
        ChildProgressIndicator trees(progress, ThreadTreeUnits);
        GetThreadPool().WriteAndDelete(
            &trees, &snapshot, static_cast<DWORD>(ThreadRegistry::Scope::All), &m_FunctionGatherer);
    }
    {
        ChildProgressIndicator paths(progress, ModulePathUnits);
        m_ModulePathGatherer.Write(&paths, &snapshot);
    }
    {
        ChildProgressIndicator metaData(progress, MetaDataUnits);
        m_MetaDataGatherer.Write(&metaData, &snapshot);
    }
    progress.End();
}

void BasePerformanceProfiler::DropSnapshotData() {
    GetThreadPool().Delete();
}

// ---- Callbacks

MeasureTime BasePerformanceProfiler::CallbackTime(UINT64 t0) const {
    MeasureTime time;
    time.m_Kind = GetSettings().m_MeasureKind;
    time.m_Stamp = t0;
    time.m_CommonStamp = time.m_Kind != MeasureKind::ThreadTime;
    return time;
}

UINT64* BasePerformanceProfiler::CurrentThreadCell() noexcept {
    try {
        PerformanceThread* pThread = GetThreadPool().GetThreadLocalThread();
        return pThread != nullptr ? pThread->GetInternalTimeCell() : nullptr;
    } catch (...) {
        return nullptr;  // a record without frames has no cell to charge
    }
}

void BasePerformanceProfiler::AddElapsed(UINT64* pCell, UINT64 start, UINT64 now) noexcept {
    if (pCell != nullptr) {
        *pCell += now - start;
    }
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ThreadCreated(ThreadID threadId) {
    return InCallbackFrame([&](UINT64 t0) {
        if (Log::IsEnabled(LogComponent::ThreadCb)) {
            Log::Format("BPProf::ThreadCreated tid=%p", Id(threadId));
        }
        return GetThreadPool().Create(CallbackTime(t0), threadId);
    });
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ThreadDestroyed(ThreadID threadId) {
    return InCallbackFrame([&](UINT64 t0) {
        if (Log::IsEnabled(LogComponent::ThreadCb)) {
            Log::Format("BPProf::ThreadDestroyed tid=%p", Id(threadId));
        }
        OnThreadDestroyedHook(threadId);
        GetThreadPool().DeleteThread(CallbackTime(t0), threadId);
    });
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ThreadAssignedToOSThread(ThreadID threadId,
                                                                            DWORD osThreadId) {
    return InCallbackFrame([&](UINT64) {
        if (Log::IsEnabled(LogComponent::ThreadCb)) {
            Log::Format("BPProf::ThreadAssignedToOSThread tid=%p ostid=%08X", Id(threadId),
                        osThreadId);
        }
        return GetThreadPool().AssignOSThread(threadId, osThreadId);
    });
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ThreadNameChanged(ThreadID threadId,
                                                                     ULONG cchName, WCHAR name[]) {
    return InCallbackFrame([&](UINT64) {
        // The count may include the terminating zero.
        const WString text =
            name != nullptr ? WString(name, std::find(name, name + cchName, u'\0')) : WString();
        if (Log::IsEnabled(LogComponent::ThreadCb)) {
            Log::Format("BPProf::ThreadNameChanged tid=%p name='%S'", Id(threadId), text.c_str());
        }
        return GetThreadPool().SetName(threadId, text);
    });
}

void BasePerformanceProfiler::LoadModule(ModuleID moduleId) {
    m_MetaDataGatherer.LoadModule(GetInfo(), moduleId);
    m_ModulePathGatherer.LoadModule(moduleId);
    OnModuleLoadedHook(moduleId);
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ModuleLoadStarted(ModuleID moduleId) {
    return InCallbackFrame([&](UINT64) {
        if (Log::IsEnabled(LogComponent::ModuleCb)) {
            Log::Format("BPProf::ModuleLoadStarted mid=%p", Id(moduleId));
        }
    });
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ModuleLoadFinished(ModuleID moduleId,
                                                                      HRESULT hrStatus) {
    return InCallbackFrame([&](UINT64) {
        if (Log::IsEnabled(LogComponent::ModuleCb)) {
            Log::Format("BPProf::ModuleLoadFinished mid=%p hr=%08X", Id(moduleId), hrStatus);
        }
        if (SUCCEEDED(hrStatus)) {
            LoadModule(moduleId);
        }
    });
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ModuleUnloadStarted(ModuleID moduleId) {
    return InCallbackFrame([&](UINT64) {
        if (Log::IsEnabled(LogComponent::ModuleCb)) {
            Log::Format("BPProf::ModuleUnloadStarted mid=%p", Id(moduleId));
        }
        OnModuleUnloadingHook(moduleId);
        m_MetaDataGatherer.UnloadModule(moduleId);
    });
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ModuleUnloadFinished(ModuleID moduleId,
                                                                        HRESULT hrStatus) {
    return InCallbackFrame([&](UINT64) {
        if (Log::IsEnabled(LogComponent::ModuleCb)) {
            Log::Format("BPProf::ModuleUnloadFinished mid=%p hr=%08X", Id(moduleId), hrStatus);
        }
    });
}

HRESULT STDMETHODCALLTYPE BasePerformanceProfiler::ModuleAttachedToAssembly(ModuleID moduleId,
                                                                            AssemblyID assemblyId) {
    return InCallbackFrame([&](UINT64) {
        if (Log::IsEnabled(LogComponent::ModuleCb)) {
            Log::Format("BPProf::ModuleAttachedToAssembly mid=%p aid=%p", Id(moduleId),
                        Id(assemblyId));
        }
        OnModuleAttachedHook(moduleId);
    });
}

void BasePerformanceProfiler::OnAttachModuleLoad(ModuleID moduleId) {
    if (Log::IsEnabled(LogComponent::ModuleCb)) {
        Log::Format("BPProf::OnAttachModuleLoad mid=%p", Id(moduleId));
    }
    LoadModule(moduleId);
}
