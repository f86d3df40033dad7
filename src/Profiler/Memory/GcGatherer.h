// Turns the runtime's garbage collection reports into the sections of a memory snapshot: each
// collection's start, generations and heap ranges, moved and surviving object ranges, every live
// object of a heap dump with its class, size, array shape and the field through which it refers
// to each other object, the roots, the objects queued for finalisation, and sampled allocations
// with their stacks. Object ids and addresses are written at the pointer width (the width byte of
// each section says which); everything else at the width the layout gives.
//
// Sections (little-endian; a position is an i64 byte offset of a record in the named section,
// -1 for none):
//   0x3100 collection start   u32 low, u32 high of the local time as a file time; u8 generation
//                             count g; g x u8 collected; u8 reason
//   0x3101/0x3102 heaps       u8 width; u32 ranges; per range u8 generation, id start, id end
//   0x3103 moved ranges       counted; id new start, id new end, id old start
//   0x3104 surviving ranges   counted; id start, id end
//   0x3105 objects (v1)       range-counted; id; u8 array; position in 0x3109; u32 n; n x (id
//                             referenced, u32 element index (arrays only), position in 0x3110)
//   0x3106 finalizer queue    counted; id, u32 flags
//   0x3107 roots              counted; id, u8 kind, u8 flags, u32 metadata index, u32 token
//   0x3109 object details     counted; id, u32 size, i64 class position, u32 rank r, r x (u32
//                             length, u32 lower bound)
//   0x3110 field records      plain; see ClassLayoutCache
//   0x3111 sampled allocations counted; id, position in 0x3112
//   0x3112 allocation stacks  plain; counter frame count, frames outermost first as u32 metadata
//                             index, u32 token
// Counted headers are u8 width, u32 count; range-counted ones add the lowest and highest id.
#pragma once

#include <atomic>
#include <unordered_map>
#include <vector>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Profiler/Memory/ClassLayoutCache.h"
#include "Profiler/Memory/CountedSectionWriter.h"
#include "Profiler/Memory/RangeCountedSectionWriter.h"
#include "Profiler/Memory/SectionWriter.h"
#include "Util/ComRef.h"
#include "Util/SpinLock.h"

class ClassGatherer;
class FunctionGatherer;
class ISnapShotStorage;
class MetaDataGatherer;

class GcGatherer {
public:
    // Element index of a reference no array element holds.
    static constexpr DWORD NoElement = 0xFFFFFFFF;
    static constexpr DWORD NoFunctionToken = 0xFF000000;

    // None of the gatherers is owned; they must outlive this one.
    GcGatherer(ClassGatherer* pClasses, MetaDataGatherer* pMetaData, FunctionGatherer* pFunctions);
    GcGatherer(const GcGatherer&) = delete;
    GcGatherer& operator=(const GcGatherer&) = delete;

    // Keeps a reference; a null interface raises "Null interface pointer".
    void Initialize(ICorProfilerInfo2* pInfo);
    void Close();

    // The open snapshot's storage, for every section that follows. Null raises "Can't assign
    // empty snapshot".
    void AssignSnapshot(ISnapShotStorage* pStorage);
    // Closes the sampled allocations and their stacks and forgets the storage: the snapshot is
    // closing.
    void CloseAllocationStacks();
    // Forgets the storage and every open section without closing them: the snapshot is gone.
    void Reset();

    // Each raises "No snapshot assigned" without a storage.
    void ObjectAllocated(ObjectID objectId, ClassID classId);
    void MovedReferences(ULONG count, const ObjectID oldStarts[], const ObjectID newStarts[],
                         const ULONG lengths[]);
    void SurvivingReferences(ULONG count, const ObjectID starts[], const ULONG lengths[]);
    // `references` sorted ascending.
    void ObjectReferences(ObjectID objectId, ClassID classId, ULONG count,
                          const ObjectID references[]);
    void RootReferences2(ULONG count, const ObjectID objectIds[],
                         const COR_PRF_GC_ROOT_KIND kinds[], const COR_PRF_GC_ROOT_FLAGS flags[],
                         const UINT_PTR rootIds[]);
    void FinalizeableObjectQueued(DWORD flags, ObjectID objectId);
    void GarbageCollectionStarted(int generationCount, const BOOL collected[],
                                  COR_PRF_GC_REASON reason);
    void GarbageCollectionFinished();

private:
    // What one reference of an object's list turned out to be.
    struct Slot {
        int64_t field;  // field record position, -1 when no field holds it
        DWORD element;  // array element index, NoElement otherwise
        bool taken;
    };

    // What a collection asks once per class: array shape, box layout, class position.
    struct ClassFacts {
        ULONG rank = 0;
        CorElementType elementType = ELEMENT_TYPE_END;
        ClassID elementClass = 0;
        bool boxKnown = false;
        ULONG32 boxOffset = 0;
        bool positionKnown = false;
        INT32 position = -1;
        const ClassLayoutCache::Layout* pLayout = nullptr;  // once asked for, until ForgetClasses
    };

    void RequireSnapshot() const;
    ClassFacts& Facts(ClassID classId);
    // Forgets the facts and layouts of the collection's classes.
    void ForgetClasses();
    // Gives the references that the fields at `base` hold their slots.
    void MatchFields(const std::vector<ClassLayoutCache::ReferenceField>& fields, UINT_PTR base,
                     DWORD element, ULONG count, const ObjectID references[]);
    void MatchArray(ObjectID objectId, const ClassFacts& facts, ULONG size, ULONG count,
                    const ObjectID references[]);
    // With the objects lock held.
    void WriteObject(ObjectID objectId, ClassID classId, ClassFacts& facts, ULONG size, ULONG count,
                     const ObjectID references[]);
    void WriteHeaps(WORD type);
    void WriteCollectionStart(int generationCount, const BOOL collected[],
                              COR_PRF_GC_REASON reason);
    // The (metadata index, token) of a stack root's function.
    void RootFunction(UINT_PTR functionId, DWORD& metaDataIndex, DWORD& token);

    ClassGatherer* const m_pClasses;
    MetaDataGatherer* const m_pMetaData;
    FunctionGatherer* const m_pFunctions;
    ComRef<ICorProfilerInfo2> m_pInfo;  // set by Initialize, dropped by Close

    // The open snapshot's storage; written by AssignSnapshot, CloseAllocationStacks and Reset,
    // which the profiler runs while no collection does; read by every record's thread.
    std::atomic<ISnapShotStorage*> m_pStorage{nullptr};

    // Each lock guards the writers after it; all are taken for one record (or one batch of
    // ranges or roots) and never while the runtime is asked anything, except where noted.
    SpinLock m_MovedLock;  // collecting thread
    CountedSectionWriter m_Moved{0x3103, 0};
    SpinLock m_SurvivingLock;  // collecting thread
    CountedSectionWriter m_Surviving{0x3104, 0};
    SpinLock m_FinalizerLock;  // collecting thread
    CountedSectionWriter m_Finalizers{0x3106, 0};
    SpinLock m_RootsLock;  // collecting thread
    CountedSectionWriter m_Roots{0x3107, 0};
    // Objects and their details, so that each object's pair of records stays together, and the
    // scratch and class facts below: an object costs one lock.
    SpinLock m_ObjectsLock;  // collecting thread
    RangeCountedSectionWriter m_Objects{0x3105, 1};
    CountedSectionWriter m_Details{0x3109, 0};
    // Field records; appended while a layout is built, inside the objects lock.
    SpinLock m_FieldLock;  // collecting thread
    SectionWriter m_Fields{0x3110, 0};
    // Sampled allocations and their stacks, so that each record's stack position is right.
    SpinLock m_AllocationLock;  // any allocating thread, the collecting thread
    CountedSectionWriter m_Allocations{0x3111, 0};
    SectionWriter m_Stacks{0x3112, 0};

    ClassLayoutCache m_Layouts;

    // Scratch for one ObjectReferences call and the facts of the collection's classes (emptied
    // after every collection), under the objects lock; collection callbacks are serialised by the
    // runtime, the lock only makes sure of it.
    std::unordered_map<ClassID, ClassFacts> m_ClassFacts;
    std::vector<Slot> m_Slots;
    std::vector<std::pair<UINT_PTR, int64_t>> m_Values;
    std::vector<ULONG32> m_Lengths;
    std::vector<int> m_LowerBounds;
    // The one field of an array element that is a reference: no field record names it.
    const std::vector<ClassLayoutCache::ReferenceField> m_ReferenceElement{{0, -1}};
};
