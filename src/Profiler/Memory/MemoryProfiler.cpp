#include "Profiler/Memory/MemoryProfiler.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "Platform/Com.h"
#include "ProgressIndicator/ChildProgressIndicator.h"
#include "Util/CatchAtEdge.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr DWORD DumpOperation = 0;
constexpr DWORD DumpUnits = 100;
constexpr DWORD ObjectShare = 90;
constexpr DWORD ObjectConstant = 2000000;
constexpr DWORD ObjectStepBatch = 256;
constexpr DWORD ModelShare = 10;

bool IsGcLogged() {
    return Log::IsEnabled(LogComponent::GcCb);
}

const void* Ptr(UINT_PTR value) {
    return reinterpret_cast<const void*>(value);
}

}  // namespace

MemoryProfiler::MemoryProfiler(LONG* pTotalRef, Bridge* pBridge)
    : BaseApiMemoryProfiler(pTotalRef, pBridge) {}

MemoryProfiler::~MemoryProfiler() = default;

template <class Fn>
void MemoryProfiler::Guarded(Fn&& work) {
    LogEdgeFailure(work);
    CheckErrorReport();
}

void MemoryProfiler::CheckErrorReport() {
    LogEdgeFailure([this] {
        if (IsErrorReported() && IsSnapshotOpen()) {
            DropOpenSnapshot();
        }
    });
}

// ---- Snapshot hooks

DWORD MemoryProfiler::GetEventMask() {
    return GetSettings().GetAllocationsFactor() > 0 ? AllocationEventMask : BaseEventMask;
}

DWORD MemoryProfiler::GenerateSnapshotSequenceGuid(GUID* pSequence) {
    *pSequence = m_Sequence;
    return m_SequenceNumber;
}

void MemoryProfiler::GetMask(DWORD& low, DWORD& high) {
    high = 0;
    const HRESULT hr =
        m_pInfo5 ? m_pInfo5->GetEventMask2(&low, &high) : GetInfo()->GetEventMask(&low);
    if (FAILED(hr)) {
        throw _hr_error("Can't get event mask", hr);
    }
}

void MemoryProfiler::SetMask(DWORD low, DWORD high) {
    const HRESULT hr = m_pInfo5 ? m_pInfo5->SetEventMask2(low, high) : GetInfo()->SetEventMask(low);
    if (FAILED(hr)) {
        throw _hr_error("Can't update event mask", hr);
    }
}

void MemoryProfiler::UpdateEventMask() {
    DWORD low = 0;
    DWORD high = 0;
    GetMask(low, high);
    if (GetSettings().GetAllocationsFactor() > 0) {
        low |= COR_PRF_MONITOR_OBJECT_ALLOCATED;
    } else {
        low &= ~DWORD{COR_PRF_MONITOR_OBJECT_ALLOCATED};
    }
    SetMask(low, high);
}

void MemoryProfiler::SetFullMonitoring(bool full) {
    DWORD low = 0;
    DWORD high = 0;
    GetMask(low, high);
    low = full ? low | COR_PRF_MONITOR_GC : low & ~DWORD{COR_PRF_MONITOR_GC};
    SetMask(low, high | BasicCollectionEvents);
    // Rare (twice per dump): always logged.
    Log::Format("MProf::SetFullMonitoring full=%s mask=%08X/%08X", full ? "true" : "false", low,
                high | BasicCollectionEvents);
}

void MemoryProfiler::BeginDumpMonitoring() {
    SpinLockGuard guard(m_MaskLock);
    ++m_DumpsPending;
    if (m_BasicCollections) {
        SetFullMonitoring(true);
    }
}

void MemoryProfiler::EndDumpMonitoring() {
    SpinLockGuard guard(m_MaskLock);
    --m_DumpsPending;
    if (m_BasicCollections && m_DumpsPending == 0) {
        SetFullMonitoring(false);
    }
}

void MemoryProfiler::UseBasicCollections() {
    if (!m_pInfo5 || GetSettings().IsTrackingFinalizers()) {
        return;
    }
    SpinLockGuard guard(m_MaskLock);
    if (m_BasicCollections || m_DumpsPending != 0) {
        return;
    }
    m_BasicCollections = true;
    SetFullMonitoring(false);
}

void MemoryProfiler::WriteSnapshotHeader(ISnapShotStorage& snapshot) {
    UpdateEventMask();
    m_Heap.AssignSnapshot(&snapshot);
}

void MemoryProfiler::WriteSnapshotData(ISnapShotStorage& snapshot) {
    // Outside a dump (a snapshot closed at shutdown, say) the write has progress of its own.
    std::optional<BridgeProgressIndicator> ownProgress;
    BaseProgressIndicator* pParent = m_DumpProgress ? &*m_DumpProgress : nullptr;
    if (pParent == nullptr) {
        ownProgress.emplace(GetControl(), DumpOperation);
        ownProgress->Begin(ModelShare);
        pParent = &*ownProgress;
    }
    ChildProgressIndicator progress(*pParent, ModelShare);
    progress.Begin(5);
    m_Heap.CloseAllocationStacks();
    {
        ChildProgressIndicator classProgress(progress, 1);
        m_Classes.Write(&classProgress, &snapshot);
    }
    {
        ChildProgressIndicator metaDataProgress(progress, 4);
        m_MetaData.Write(&metaDataProgress, &snapshot);
    }
    progress.End();
}

void MemoryProfiler::DropSnapshotData() {
    m_Heap.Reset();
}

// ---- Life cycle

void MemoryProfiler::OnBeginInitialize() {
    Log::Message("MProf::OnBeginInitialize");
    BaseApiMemoryProfiler::OnBeginInitialize();
    m_MetaData.Create();
    m_Functions.Create(GetInfo());
    m_Classes.Create(GetInfo());
    m_Heap.Initialize(GetInfo2());
    const HRESULT hr = CoCreateGuid(&m_Sequence);
    if (FAILED(hr)) {
        throw _hr_error("Can't generate snapshot sequence guid", hr);
    }
    m_pInfo5.QueryFrom(GetInfo(), IID_ICorProfilerInfo5);
}

void MemoryProfiler::OnEndShutdown() {
    Log::Message("MProf::OnEndShutdown");
    m_Heap.Close();
    m_Classes.Close();
    m_Functions.Close();
    m_MetaData.Close();
    m_pInfo5 = nullptr;
    BaseApiMemoryProfiler::OnEndShutdown();
}

// ---- Allocations

HRESULT STDMETHODCALLTYPE MemoryProfiler::ObjectAllocated(ObjectID objectId, ClassID classId) {
    if (IsGcLogged()) {
        Log::Format("MProf::ObjectAllocated oid=%p cid=%p", Ptr(objectId), Ptr(classId));
    }
    if (!IsSnapshotOpen()) {
        return S_OK;
    }
    Guarded([&] {
        const DWORD factor = GetSettings().GetAllocationsFactor();
        if (factor == 0) {
            throw std::runtime_error("Allocations factor is zero");
        }
        if ((m_Allocations.fetch_add(1) + 1) % factor != 0) {
            return;
        }
        m_Heap.ObjectAllocated(objectId, classId);
    });
    return S_OK;
}

// ---- Collections

HRESULT STDMETHODCALLTYPE MemoryProfiler::GarbageCollectionStarted(int cGenerations,
                                                                   BOOL generationCollected[],
                                                                   COR_PRF_GC_REASON reason) {
    GcThread& gc = GetGcThread();
    gc.Collecting().exchange(1);
    const DWORD mode = gc.RequestedMode().load();
    gc.CurrentMode().store(mode);
    if (IsGcLogged()) {
        std::string block;
        for (int i = 0; i < cGenerations; ++i) {
            Log::AppendBlockFormat(block, "#%u f=%s", static_cast<unsigned>(i),
                                   generationCollected[i] ? "true" : "false");
        }
        Log::BlockFormat(block, "MProf::GarbageCollectionStarted c=%u reason=%s",
                         static_cast<unsigned>(cGenerations),
                         reason == COR_PRF_GC_INDUCED ? "induced" : "other");
    }
    if (mode == GcThread::ModeDump) {
        Guarded([this] { BeginDump(); });
    }
    if (IsSnapshotOpen()) {
        Guarded(
            [&] { m_Heap.GarbageCollectionStarted(cGenerations, generationCollected, reason); });
    }
    return S_OK;
}

void MemoryProfiler::BeginDump() {
    m_ObjectProgress.reset();
    m_DumpProgress.reset();
    m_DumpProgress.emplace(GetControl(), DumpOperation);
    m_DumpProgress->Begin(DumpUnits);
    if (!IsSnapshotOpen()) {
        CreateSnapshot();
    }
    m_ObjectProgress.emplace(*m_DumpProgress, ObjectShare);
    m_ObjectProgress->Begin(ObjectConstant);
    m_UnsteppedObjects = 0;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::GarbageCollectionFinished() {
    if (IsGcLogged()) {
        Log::Message("MProf::GarbageCollectionFinished");
    }
    GcThread& gc = GetGcThread();
    if (IsSnapshotOpen()) {
        Guarded([this] { m_Heap.GarbageCollectionFinished(); });
    }
    const DWORD mode = gc.CurrentMode().load();
    if (mode == GcThread::ModeDump) {
        Guarded([this] { EndDump(); });
        // Whatever failed, the dump's operation ends here.
        m_ObjectProgress.reset();
        m_DumpProgress.reset();
    }
    if (mode == GcThread::ModeNone) {
        // Full monitoring, asked for at start-up, made the runtime set up its collector without
        // concurrent collections, which it refuses to report in full later; now that the collector
        // runs, full reports are needed only for dumps (and for finaliser records).
        Guarded([this] { UseBasicCollections(); });
    }
    if (mode != GcThread::ModeNone) {
        gc.RequestedMode().store(GcThread::ModeNone);
    }
    gc.CurrentMode().store(GcThread::ModeNone);
    gc.Collecting().store(0);
    return S_OK;
}

void MemoryProfiler::EndDump() {
    if (m_ObjectProgress) {
        m_ObjectProgress->End();
        m_ObjectProgress.reset();
    }
    CloseSnapshot();
    CreateSnapshot();
    if (m_DumpProgress) {
        m_DumpProgress->End();
        m_DumpProgress.reset();
    }
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::MovedReferences(ULONG cMovedObjectIDRanges,
                                                          ObjectID oldObjectIDRangeStart[],
                                                          ObjectID newObjectIDRangeStart[],
                                                          ULONG cObjectIDRangeLength[]) {
    if (IsGcLogged()) {
        std::string block;
        for (ULONG i = 0; i < cMovedObjectIDRanges; ++i) {
            Log::AppendBlockFormat(block, "#%u ooid=%p noid=%p l=%u", static_cast<unsigned>(i),
                                   Ptr(oldObjectIDRangeStart[i]), Ptr(newObjectIDRangeStart[i]),
                                   static_cast<unsigned>(cObjectIDRangeLength[i]));
        }
        Log::BlockFormat(block, "MProf::MovedReferences c=%u",
                         static_cast<unsigned>(cMovedObjectIDRanges));
    }
    if (IsSnapshotOpen()) {
        Guarded([&] {
            m_Heap.MovedReferences(cMovedObjectIDRanges, oldObjectIDRangeStart,
                                   newObjectIDRangeStart, cObjectIDRangeLength);
        });
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::SurvivingReferences(ULONG cSurvivingObjectIDRanges,
                                                              ObjectID objectIDRangeStart[],
                                                              ULONG cObjectIDRangeLength[]) {
    if (IsGcLogged()) {
        std::string block;
        for (ULONG i = 0; i < cSurvivingObjectIDRanges; ++i) {
            Log::AppendBlockFormat(block, "#%u oid=%p l=%u", static_cast<unsigned>(i),
                                   Ptr(objectIDRangeStart[i]),
                                   static_cast<unsigned>(cObjectIDRangeLength[i]));
        }
        Log::BlockFormat(block, "MProf::SurvivingReferences c=%u",
                         static_cast<unsigned>(cSurvivingObjectIDRanges));
    }
    if (IsSnapshotOpen()) {
        Guarded([&] {
            m_Heap.SurvivingReferences(cSurvivingObjectIDRanges, objectIDRangeStart,
                                       cObjectIDRangeLength);
        });
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ObjectReferences(ObjectID objectId, ClassID classId,
                                                           ULONG cObjectRefs,
                                                           ObjectID objectRefIds[]) {
    if (IsGcLogged()) {
        std::string block;
        for (ULONG i = 0; i < cObjectRefs; ++i) {
            Log::AppendBlockFormat(block, "#%u oid=%p", static_cast<unsigned>(i),
                                   Ptr(objectRefIds[i]));
        }
        Log::BlockFormat(block, "MProf::ObjectReferences oid=%p cid=%p c=%u", Ptr(objectId),
                         Ptr(classId), static_cast<unsigned>(cObjectRefs));
    }
    if (GetGcThread().CurrentMode().load() != GcThread::ModeDump) {
        return S_OK;
    }
    Guarded([&] {
        if (!IsSnapshotOpen()) {
            throw std::runtime_error("Inconsistent snapshot state");
        }
        std::sort(objectRefIds, objectRefIds + cObjectRefs);
        m_Heap.ObjectReferences(objectId, classId, cObjectRefs, objectRefIds);
        if (m_ObjectProgress && ++m_UnsteppedObjects == ObjectStepBatch) {
            m_ObjectProgress->Step(m_UnsteppedObjects);
            m_UnsteppedObjects = 0;
        }
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::RootReferences2(ULONG cRootRefs, ObjectID rootRefIds[],
                                                          COR_PRF_GC_ROOT_KIND rootKinds[],
                                                          COR_PRF_GC_ROOT_FLAGS rootFlags[],
                                                          UINT_PTR rootIds[]) {
    if (IsGcLogged()) {
        std::string block;
        for (ULONG i = 0; i < cRootRefs; ++i) {
            Log::AppendBlockFormat(block, "#%u oid=%p k=%d f=%08X id=%p", static_cast<unsigned>(i),
                                   Ptr(rootRefIds[i]), static_cast<int>(rootKinds[i]),
                                   static_cast<unsigned>(rootFlags[i]), Ptr(rootIds[i]));
        }
        Log::BlockFormat(block, "MProf::RootReferences2 c=%u", static_cast<unsigned>(cRootRefs));
    }
    if (GetGcThread().CurrentMode().load() != GcThread::ModeDump) {
        return S_OK;
    }
    Guarded([&] {
        if (!IsSnapshotOpen()) {
            throw std::runtime_error("Inconsistent snapshot state");
        }
        m_Heap.RootReferences2(cRootRefs, rootRefIds, rootKinds, rootFlags, rootIds);
        if (m_ObjectProgress) {
            m_ObjectProgress->Step(1);
        }
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::FinalizeableObjectQueued(DWORD finalizerFlags,
                                                                   ObjectID objectID) {
    if (IsGcLogged()) {
        Log::Format("MProf::FinalizeableObjectQueued f=%08X oid=%p", finalizerFlags, Ptr(objectID));
    }
    if (IsSnapshotOpen() && GetSettings().IsTrackingFinalizers()) {
        Guarded([&] { m_Heap.FinalizeableObjectQueued(finalizerFlags, objectID); });
    }
    return S_OK;
}

// ---- Modules and classes

HRESULT STDMETHODCALLTYPE MemoryProfiler::ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) {
    if (Log::IsEnabled(LogComponent::ModuleCb)) {
        Log::Format("MProf::ModuleLoadFinished mid=%p hr=%08X", Ptr(moduleId), hrStatus);
    }
    if (SUCCEEDED(hrStatus)) {
        Guarded([&] { m_MetaData.LoadModule(GetInfo(), moduleId); });
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ModuleUnloadStarted(ModuleID moduleId) {
    if (Log::IsEnabled(LogComponent::ModuleCb)) {
        Log::Format("MProf::ModuleUnloadStarted mid=%p", Ptr(moduleId));
    }
    Guarded([&] { m_MetaData.UnloadModule(moduleId); });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ClassUnloadStarted(ClassID classId) {
    if (Log::IsEnabled(LogComponent::ClassCb)) {
        Log::Format("MProf::ClassUnloadStarted cid=%p", Ptr(classId));
    }
    Guarded([&] { m_Classes.UnloadClass(classId); });
    return S_OK;
}

// ---- Callbacks that only log

HRESULT STDMETHODCALLTYPE MemoryProfiler::ClassLoadStarted(ClassID classId) {
    if (Log::IsEnabled(LogComponent::ClassCb)) {
        Log::Format("MProf::ClassLoadStarted cid=%p", Ptr(classId));
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ClassLoadFinished(ClassID classId, HRESULT hrStatus) {
    if (Log::IsEnabled(LogComponent::ClassCb)) {
        Log::Format("MProf::ClassLoadFinished cid=%p hr=%08X", Ptr(classId), hrStatus);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ClassUnloadFinished(ClassID classId, HRESULT hrStatus) {
    if (Log::IsEnabled(LogComponent::ClassCb)) {
        Log::Format("MProf::ClassUnloadFinished cid=%p hr=%08X", Ptr(classId), hrStatus);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ThreadCreated(ThreadID threadId) {
    if (Log::IsEnabled(LogComponent::ThreadCb)) {
        Log::Format("MProf::ThreadCreated tid=%p", Ptr(threadId));
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ThreadDestroyed(ThreadID threadId) {
    if (Log::IsEnabled(LogComponent::ThreadCb)) {
        Log::Format("MProf::ThreadDestroyed tid=%p", Ptr(threadId));
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ThreadAssignedToOSThread(ThreadID managedThreadId,
                                                                   DWORD osThreadId) {
    if (Log::IsEnabled(LogComponent::ThreadCb)) {
        Log::Format("MProf::ThreadAssignedToOSThread tid=%p ostid=%08X", Ptr(managedThreadId),
                    osThreadId);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                            WCHAR name[]) {
    if (Log::IsEnabled(LogComponent::ThreadCb)) {
        const WString text =
            name != nullptr ? WString(name, std::find(name, name + cchName, u'\0')) : WString();
        Log::Format("MProf::ThreadNameChanged tid=%p name='%S'", Ptr(threadId), text.c_str());
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ModuleLoadStarted(ModuleID moduleId) {
    if (Log::IsEnabled(LogComponent::ModuleCb)) {
        Log::Format("MProf::ModuleLoadStarted mid=%p", Ptr(moduleId));
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ModuleUnloadFinished(ModuleID moduleId,
                                                               HRESULT hrStatus) {
    if (Log::IsEnabled(LogComponent::ModuleCb)) {
        Log::Format("MProf::ModuleUnloadFinished mid=%p hr=%08X", Ptr(moduleId), hrStatus);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ModuleAttachedToAssembly(ModuleID moduleId,
                                                                   AssemblyID assemblyId) {
    if (Log::IsEnabled(LogComponent::ModuleCb)) {
        Log::Format("MProf::ModuleAttachedToAssembly mid=%p aid=%p", Ptr(moduleId),
                    Ptr(assemblyId));
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::ObjectsAllocatedByClass(ULONG cClassCount,
                                                                  ClassID classIds[],
                                                                  ULONG cObjects[]) {
    if (IsGcLogged()) {
        std::string block;
        for (ULONG i = 0; i < cClassCount; ++i) {
            Log::AppendBlockFormat(block, "#%u cid=%p c=%u", static_cast<unsigned>(i),
                                   Ptr(classIds[i]), static_cast<unsigned>(cObjects[i]));
        }
        Log::BlockFormat(block, "MProf::ObjectsAllocatedByClass c=%u",
                         static_cast<unsigned>(cClassCount));
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryProfiler::RootReferences(ULONG cRootRefs, ObjectID rootRefIds[]) {
    if (IsGcLogged()) {
        std::string block;
        for (ULONG i = 0; i < cRootRefs; ++i) {
            Log::AppendBlockFormat(block, "#%u oid=%p", static_cast<unsigned>(i),
                                   Ptr(rootRefIds[i]));
        }
        Log::BlockFormat(block, "MProf::RootReferences c=%u", static_cast<unsigned>(cRootRefs));
    }
    return E_NOTIMPL;
}
