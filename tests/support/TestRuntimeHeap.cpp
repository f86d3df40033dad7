// The test runtime's heap: objects, class layouts, roots, generation bounds, stacks and the
// collections that report them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "Platform/Process.h"
#include "support/TestRuntime.h"

namespace {

constexpr ULONG PointerSize = sizeof(void*);
// SZ and MD arrays alike: method table pointer, then the length (padded to a pointer).
constexpr ULONG ArrayDataOffset = 2 * PointerSize;

}  // namespace

void TestRuntime::SetClassLayout(ClassID classId, std::vector<COR_FIELD_OFFSET> fields,
                                 ULONG classSize, ULONG32 boxOffset) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Layouts[classId] = LayoutState{std::move(fields), classSize, boxOffset};
}

TestMetaDataImport& TestRuntime::MetaDataOf(ModuleID moduleId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::unique_ptr<TestMetaDataImport>& pImport = m_MetaData[moduleId];
    if (pImport == nullptr) {
        pImport = std::make_unique<TestMetaDataImport>();
    }
    return *pImport;
}

ObjectID TestRuntime::AddObject(ClassID classId, ULONG size) {
    std::lock_guard<std::mutex> lock(m_Lock);
    ObjectState state;
    state.classId = classId;
    state.size = size;
    state.memory.assign((size + PointerSize - 1) / PointerSize + 1, 0);
    const ObjectID objectId = reinterpret_cast<ObjectID>(state.memory.data());
    m_Objects[objectId] = std::move(state);
    return objectId;
}

ObjectID TestRuntime::AddArray(ClassID arrayClass, std::vector<ULONG32> lengths, ULONG elementSize,
                               std::vector<int> lowerBounds) {
    ULONG count = 1;
    for (ULONG32 length : lengths) {
        count *= length;
    }
    lowerBounds.resize(lengths.size(), 0);
    const ObjectID objectId =
        AddObject(arrayClass, ArrayDataOffset + count * elementSize + PointerSize);
    std::lock_guard<std::mutex> lock(m_Lock);
    ObjectState& state = m_Objects.at(objectId);
    state.lengths = std::move(lengths);
    state.lowerBounds = std::move(lowerBounds);
    return objectId;
}

BYTE* TestRuntime::ArrayData(ObjectID array) const {
    return reinterpret_cast<BYTE*>(array) + ArrayDataOffset;
}

void TestRuntime::SetReference(ObjectID object, ULONG offset, ObjectID target) {
    std::lock_guard<std::mutex> lock(m_Lock);
    ObjectState& state = m_Objects.at(object);
    if (offset + PointerSize > state.memory.size() * PointerSize) {
        throw std::logic_error("SetReference: the offset lies outside the object");
    }
    std::memcpy(reinterpret_cast<BYTE*>(state.memory.data()) + offset, &target, PointerSize);
    state.references.push_back(target);
}

void TestRuntime::AddReportedReference(ObjectID object, ObjectID target) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Objects.at(object).references.push_back(target);
}

void TestRuntime::AddRoot(const Root& root) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Roots.push_back(root);
}

void TestRuntime::SetGenerationBounds(std::vector<COR_PRF_GC_GENERATION_RANGE> ranges) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_GenerationBounds = std::move(ranges);
}

void TestRuntime::SetForcedCollection(const Collection& collection) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_ForcedCollection = collection;
}

unsigned TestRuntime::CollectionCount() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Collections;
}

HRESULT TestRuntime::NotifyObjectAllocated(ObjectID objectId, ClassID classId) {
    return Notify("ObjectAllocated", [objectId, classId](ICorProfilerCallback2& profiler) {
        return profiler.ObjectAllocated(objectId, classId);
    });
}

void TestRuntime::Collect(const Collection& collection) {
    // Copies of what the callbacks get: the profiler may sort the reference arrays in place.
    std::vector<Root> roots;
    std::vector<std::pair<ObjectID, ObjectState>> objects;
    bool full = false;
    bool moved = false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        ++m_Collections;
        full = (m_EventMask & COR_PRF_MONITOR_GC) != 0;
        moved = full || (m_EventMaskHigh & COR_PRF_HIGH_MONITOR_GC_MOVED_OBJECTS) != 0;
        if (full) {
            roots = m_Roots;
        }
        if (full && collection.reportObjects) {
            for (const auto& [objectId, state] : m_Objects) {
                ObjectState copy;
                copy.classId = state.classId;
                copy.references = state.references;
                objects.emplace_back(objectId, std::move(copy));
            }
        }
    }
    std::vector<BOOL> collected = collection.collected;
    Notify("GarbageCollectionStarted", [&](ICorProfilerCallback2& p) {
        return p.GarbageCollectionStarted(static_cast<int>(collected.size()), collected.data(),
                                          collection.reason);
    });
    if (!roots.empty()) {
        std::vector<ObjectID> ids;
        std::vector<COR_PRF_GC_ROOT_KIND> kinds;
        std::vector<COR_PRF_GC_ROOT_FLAGS> flags;
        std::vector<UINT_PTR> rootIds;
        for (const Root& root : roots) {
            ids.push_back(root.object);
            kinds.push_back(root.kind);
            flags.push_back(root.flags);
            rootIds.push_back(root.rootId);
        }
        Notify("RootReferences2", [&](ICorProfilerCallback2& p) {
            return p.RootReferences2(static_cast<ULONG>(ids.size()), ids.data(), kinds.data(),
                                     flags.data(), rootIds.data());
        });
    }
    if (moved && !collection.moved.empty()) {
        std::vector<ObjectID> oldStarts, newStarts;
        std::vector<ULONG> lengths;
        for (const Range& range : collection.moved) {
            oldStarts.push_back(range.oldStart);
            newStarts.push_back(range.start);
            lengths.push_back(range.length);
        }
        Notify("MovedReferences", [&](ICorProfilerCallback2& p) {
            return p.MovedReferences(static_cast<ULONG>(lengths.size()), oldStarts.data(),
                                     newStarts.data(), lengths.data());
        });
    }
    if (moved && !collection.surviving.empty()) {
        std::vector<ObjectID> starts;
        std::vector<ULONG> lengths;
        for (const Range& range : collection.surviving) {
            starts.push_back(range.start);
            lengths.push_back(range.length);
        }
        Notify("SurvivingReferences", [&](ICorProfilerCallback2& p) {
            return p.SurvivingReferences(static_cast<ULONG>(lengths.size()), starts.data(),
                                         lengths.data());
        });
    }
    if (full) {
        for (const auto& [flags, objectId] : collection.finalizable) {
            Notify("FinalizeableObjectQueued", [&](ICorProfilerCallback2& p) {
                return p.FinalizeableObjectQueued(flags, objectId);
            });
        }
    }
    for (auto& [objectId, state] : objects) {
        // The runtime reports references in heap order, not sorted.
        std::reverse(state.references.begin(), state.references.end());
        Notify("ObjectReferences", [&](ICorProfilerCallback2& p) {
            return p.ObjectReferences(objectId, state.classId,
                                      static_cast<ULONG>(state.references.size()),
                                      state.references.data());
        });
    }
    Notify("GarbageCollectionFinished",
           [](ICorProfilerCallback2& p) { return p.GarbageCollectionFinished(); });
}

// ---- Information operations

HRESULT TestRuntime::ForceGC() {
    if (HRESULT hr = Enter(Operation::ForceGC); FAILED(hr)) {
        return hr;
    }
    Collection collection;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        collection = m_ForcedCollection;
    }
    collection.reason = COR_PRF_GC_INDUCED;
    Collect(collection);
    return S_OK;
}

HRESULT TestRuntime::GetObjectSize(ObjectID objectId, ULONG* pcSize) {
    if (HRESULT hr = Enter(Operation::GetObjectSize); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Objects.find(objectId);
    if (it == m_Objects.end() || pcSize == nullptr) {
        return E_INVALIDARG;
    }
    *pcSize = it->second.size;
    return S_OK;
}

// The count protocol: *pcFieldOffset receives the full count; up to cFieldOffset are copied.
HRESULT TestRuntime::GetClassLayout(ClassID classID, COR_FIELD_OFFSET rFieldOffset[],
                                    ULONG cFieldOffset, ULONG* pcFieldOffset, ULONG* pulClassSize) {
    if (HRESULT hr = Enter(Operation::GetClassLayout); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Layouts.find(classID);
    if (it == m_Layouts.end()) {
        return E_INVALIDARG;
    }
    const LayoutState& layout = it->second;
    if (pcFieldOffset != nullptr) {
        *pcFieldOffset = static_cast<ULONG>(layout.fields.size());
    }
    if (pulClassSize != nullptr) {
        *pulClassSize = layout.classSize;
    }
    if (rFieldOffset != nullptr) {
        std::copy_n(layout.fields.begin(), std::min<size_t>(cFieldOffset, layout.fields.size()),
                    rFieldOffset);
    }
    return S_OK;
}

HRESULT TestRuntime::GetBoxClassLayout(ClassID classId, ULONG32* pBufferOffset) {
    if (HRESULT hr = Enter(Operation::GetBoxClassLayout); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Layouts.find(classId);
    if (it == m_Layouts.end() || pBufferOffset == nullptr) {
        return E_INVALIDARG;
    }
    *pBufferOffset = it->second.boxOffset;
    return S_OK;
}

HRESULT TestRuntime::GetArrayObjectInfo(ObjectID objectId, ULONG32 cDimensions,
                                        ULONG32 pDimensionSizes[], int pDimensionLowerBounds[],
                                        BYTE** ppData) {
    if (HRESULT hr = Enter(Operation::GetArrayObjectInfo); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Objects.find(objectId);
    if (it == m_Objects.end() || it->second.lengths.size() != cDimensions) {
        return E_INVALIDARG;
    }
    std::copy(it->second.lengths.begin(), it->second.lengths.end(), pDimensionSizes);
    std::copy(it->second.lowerBounds.begin(), it->second.lowerBounds.end(), pDimensionLowerBounds);
    *ppData = reinterpret_cast<BYTE*>(objectId) + ArrayDataOffset;
    return S_OK;
}

HRESULT TestRuntime::GetGenerationBounds(ULONG cObjectRanges, ULONG* pcObjectRanges,
                                         COR_PRF_GC_GENERATION_RANGE ranges[]) {
    if (HRESULT hr = Enter(Operation::GetGenerationBounds); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    if (pcObjectRanges != nullptr) {
        *pcObjectRanges = static_cast<ULONG>(m_GenerationBounds.size());
    }
    if (ranges != nullptr) {
        std::copy_n(m_GenerationBounds.begin(),
                    std::min<size_t>(cObjectRanges, m_GenerationBounds.size()), ranges);
    }
    return S_OK;
}

