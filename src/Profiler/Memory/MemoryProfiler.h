// The memory profiler kind: heap dumps and sampled allocations. It forwards the runtime's module,
// class and collection callbacks to its gatherers, records every n-th allocation with its stack,
// and drives a heap dump across the collection that the GcThread forced: the snapshot (opened by
// the dump if none is) receives every live object, root and reference of that collection, is
// closed when the collection ends, and a fresh one is opened at once so that allocations keep
// being recorded.
#pragma once

#include <atomic>
#include <optional>

#include "Profiler/ClassGatherer.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/Memory/BaseApiMemoryProfiler.h"
#include "Profiler/Memory/GcGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "ProgressIndicator/BridgeProgressIndicator.h"
#include "ProgressIndicator/UnboundedProgressIndicator.h"
#include "Util/SpinLock.h"

class MemoryProfiler : public BaseApiMemoryProfiler {
public:
    // "QVME" as a little-endian u32.
    static constexpr DWORD SnapshotMagic = 0x454D5651;
    static constexpr DWORD BaseEventMask =
        COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_GC;
    static constexpr DWORD AllocationEventMask =
        BaseEventMask | COR_PRF_ENABLE_OBJECT_ALLOCATED | COR_PRF_ENABLE_STACK_SNAPSHOT;
    // Outside a dump, where the runtime offers them: collection starts and ends and moved objects,
    // without the walk of the whole heap that full collection monitoring makes after every
    // collection.
    static constexpr DWORD BasicCollectionEvents =
        COR_PRF_HIGH_BASIC_GC | COR_PRF_HIGH_MONITOR_GC_MOVED_OBJECTS;

    MemoryProfiler(LONG* pTotalRef, Bridge* pBridge);

    HRESULT STDMETHODCALLTYPE ObjectAllocated(ObjectID objectId, ClassID classId) override;
    HRESULT STDMETHODCALLTYPE MovedReferences(ULONG cMovedObjectIDRanges,
                                              ObjectID oldObjectIDRangeStart[],
                                              ObjectID newObjectIDRangeStart[],
                                              ULONG cObjectIDRangeLength[]) override;
    HRESULT STDMETHODCALLTYPE SurvivingReferences(ULONG cSurvivingObjectIDRanges,
                                                  ObjectID objectIDRangeStart[],
                                                  ULONG cObjectIDRangeLength[]) override;
    HRESULT STDMETHODCALLTYPE ObjectReferences(ObjectID objectId, ClassID classId,
                                               ULONG cObjectRefs, ObjectID objectRefIds[]) override;
    HRESULT STDMETHODCALLTYPE RootReferences2(ULONG cRootRefs, ObjectID rootRefIds[],
                                              COR_PRF_GC_ROOT_KIND rootKinds[],
                                              COR_PRF_GC_ROOT_FLAGS rootFlags[],
                                              UINT_PTR rootIds[]) override;
    HRESULT STDMETHODCALLTYPE GarbageCollectionStarted(int cGenerations, BOOL generationCollected[],
                                                       COR_PRF_GC_REASON reason) override;
    HRESULT STDMETHODCALLTYPE GarbageCollectionFinished() override;
    HRESULT STDMETHODCALLTYPE FinalizeableObjectQueued(DWORD finalizerFlags,
                                                       ObjectID objectID) override;
    HRESULT STDMETHODCALLTYPE ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ModuleUnloadStarted(ModuleID moduleId) override;
    HRESULT STDMETHODCALLTYPE ClassUnloadStarted(ClassID classId) override;

    // Callbacks that only log (E_NOTIMPL).
    HRESULT STDMETHODCALLTYPE ClassLoadStarted(ClassID classId) override;
    HRESULT STDMETHODCALLTYPE ClassLoadFinished(ClassID classId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ClassUnloadFinished(ClassID classId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ThreadCreated(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE ThreadDestroyed(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE ThreadAssignedToOSThread(ThreadID managedThreadId,
                                                       DWORD osThreadId) override;
    HRESULT STDMETHODCALLTYPE ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                WCHAR name[]) override;
    HRESULT STDMETHODCALLTYPE ModuleLoadStarted(ModuleID moduleId) override;
    HRESULT STDMETHODCALLTYPE ModuleUnloadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ModuleAttachedToAssembly(ModuleID moduleId,
                                                       AssemblyID assemblyId) override;
    HRESULT STDMETHODCALLTYPE ObjectsAllocatedByClass(ULONG cClassCount, ClassID classIds[],
                                                      ULONG cObjects[]) override;
    HRESULT STDMETHODCALLTYPE RootReferences(ULONG cRootRefs, ObjectID rootRefIds[]) override;

protected:
    ~MemoryProfiler() override;

    DWORD GetEventMask() override;
    void OnBeginInitialize() override;
    void OnEndShutdown() override;
    DWORD GetSnapshotType() override { return SnapshotMagic; }
    DWORD GenerateSnapshotSequenceGuid(GUID* pSequence) override;
    void OnSnapshotSaved() override { ++m_SequenceNumber; }
    void WriteSnapshotHeader(ISnapShotStorage& snapshot) override;
    void WriteSnapshotData(ISnapShotStorage& snapshot) override;
    void DropSnapshotData() override;
    void BeginDumpMonitoring() override;
    void EndDumpMonitoring() override;

private:
    // Runs a callback's work: what it raises is logged, then the error-report check runs.
    template <class Fn>
    void Guarded(Fn&& work);
    // Drops the open snapshot once an error notification went to the controller.
    void CheckErrorReport();
    // Sets or clears the allocation callbacks by the allocations factor.
    void UpdateEventMask();
    // Switches full collection monitoring on or off (under the mask lock).
    void SetFullMonitoring(bool full);
    // At the end of a collection that was no dump: basic collection events from now on.
    void UseBasicCollections();
    void GetMask(DWORD& low, DWORD& high);
    void SetMask(DWORD low, DWORD high);
    void BeginDump();
    void EndDump();

    MetaDataGatherer m_MetaData;
    FunctionGatherer m_Functions{&m_MetaData};
    ClassGatherer m_Classes{&m_MetaData};
    GcGatherer m_Heap{&m_Classes, &m_MetaData, &m_Functions};

    // The runtime's event masks in both words; null where only the first word exists. Set at
    // initialisation.
    ComRef<ICorProfilerInfo5> m_pInfo5;
    // Guards m_BasicCollections, m_DumpsPending and the mask changes they decide. Taken by
    // requesters around a dump's request and by the collecting thread at a collection's end, for
    // one read and write of the mask.
    SpinLock m_MaskLock;
    // Set at the end of the first collection that was no dump: from then on full monitoring is
    // on only during dumps (it stays on when finaliser records are asked for, which only full
    // monitoring reports).
    bool m_BasicCollections = false;
    DWORD m_DumpsPending = 0;

    GUID m_Sequence = GUID_NULL;
    DWORD m_SequenceNumber = 0;
    // Allocations seen since construction, on every allocating thread.
    std::atomic<DWORD> m_Allocations{0};
    // The dump's progress and that of its objects; only the collecting thread touches them, from
    // a dump's start to its end.
    std::optional<BridgeProgressIndicator> m_DumpProgress;
    std::optional<UnboundedProgressIndicator> m_ObjectProgress;
    // Objects reported since the object progress last stepped: it steps once per batch, as a
    // step's arithmetic costs about what the rest of an object's bookkeeping does, and a batch
    // is far below one unit of the dump's progress.
    DWORD m_UnsteppedObjects = 0;
};
