#include "Profiler/Memory/GcGatherer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/ISnapShotStorage.h"
#include "Platform/Clock.h"
#include "Profiler/ClassGatherer.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr BYTE PointerSize = PointerSizeSectionWriter::PointerSize;
constexpr HRESULT FunctionNotCompiled = MakeHResult(0x80131351);
constexpr WORD CollectionStartType = 0x3100;
constexpr WORD HeapsAtStartType = 0x3101;
constexpr WORD HeapsAtEndType = 0x3102;

BYTE* EncodeId(BYTE* p, UINT_PTR value) {
    return PointerSizeSectionWriter::EncodeId(p, value);
}

// Reads a reference field: a pointer-sized value at an address inside a live object.
UINT_PTR ReadReference(UINT_PTR address) {
    UINT_PTR value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return value;
}

const char* GenerationName(COR_PRF_GC_GENERATION generation) {
    switch (generation) {
        case COR_PRF_GC_GEN_0:
            return "0";
        case COR_PRF_GC_GEN_1:
            return "1";
        case COR_PRF_GC_GEN_2:
            return "2";
        case COR_PRF_GC_LARGE_OBJECT_HEAP:
            return "loh";
        default:
            return "???";
    }
}

}  // namespace

GcGatherer::GcGatherer(ClassGatherer* pClasses, MetaDataGatherer* pMetaData,
                       FunctionGatherer* pFunctions)
    : m_pClasses(pClasses),
      m_pMetaData(pMetaData),
      m_pFunctions(pFunctions),
      m_Layouts(pMetaData, m_Fields, m_FieldLock) {}

void GcGatherer::Initialize(ICorProfilerInfo2* pInfo) {
    if (pInfo == nullptr) {
        throw std::runtime_error("Null interface pointer");
    }
    m_pInfo = pInfo;
    m_Layouts.SetInfo(pInfo);
}

void GcGatherer::Close() {
    ForgetClasses();
    m_Layouts.SetInfo(nullptr);
    m_pInfo = nullptr;
}

void GcGatherer::AssignSnapshot(ISnapShotStorage* pStorage) {
    if (pStorage == nullptr) {
        throw std::runtime_error("Can't assign empty snapshot");
    }
    Reset();
    m_pStorage.store(pStorage);
    SectionWriter* const writers[] = {&m_Moved,  &m_Surviving,   &m_Finalizers,
                                      &m_Roots,  &m_Objects,     &m_Details,
                                      &m_Fields, &m_Allocations, &m_Stacks};
    for (SectionWriter* pWriter : writers) {
        pWriter->Assign(pStorage);
    }
}

void GcGatherer::CloseAllocationStacks() {
    SpinLockGuard guard(m_AllocationLock);
    // Open only when a snapshot closes between collections; its records point into 0x3112.
    m_Allocations.Close();
    m_Stacks.Close();
    m_Allocations.Assign(nullptr);
    m_Stacks.Assign(nullptr);
    m_pStorage.store(nullptr);
}

void GcGatherer::Reset() {
    const std::pair<SpinLock*, SectionWriter*> writers[] = {
        {&m_MovedLock, &m_Moved},          {&m_SurvivingLock, &m_Surviving},
        {&m_FinalizerLock, &m_Finalizers}, {&m_RootsLock, &m_Roots},
        {&m_ObjectsLock, &m_Objects},      {&m_ObjectsLock, &m_Details},
        {&m_FieldLock, &m_Fields},         {&m_AllocationLock, &m_Allocations},
        {&m_AllocationLock, &m_Stacks}};
    for (const auto& [pLock, pWriter] : writers) {
        SpinLockGuard guard(*pLock);
        pWriter->Reset();
    }
    ForgetClasses();
    m_pStorage.store(nullptr);
}

void GcGatherer::RequireSnapshot() const {
    if (m_pStorage.load() == nullptr) {
        throw std::runtime_error("No snapshot assigned");
    }
}

// ---- Allocations

namespace {

HRESULT STDMETHODCALLTYPE CollectFrame(FunctionID functionId, UINT_PTR, COR_PRF_FRAME_INFO, ULONG32,
                                       BYTE[], void* pClientData) {
    static_cast<std::vector<FunctionID>*>(pClientData)->push_back(functionId);
    return S_OK;
}

}  // namespace

void GcGatherer::ObjectAllocated(ObjectID objectId, ClassID) {
    RequireSnapshot();
    std::vector<FunctionID> frames;
    const HRESULT hr =
        m_pInfo->DoStackSnapshot(0, &CollectFrame, COR_PRF_SNAPSHOT_DEFAULT, &frames, nullptr, 0);
    if (FAILED(hr)) {
        Log::WarningFormat("Can't take stack trace hr=%08X", hr);
    }
    if (frames.size() > MaxCounterValue) {
        throw std::runtime_error("Too large value");
    }
    // Mapped before the lock: mapping may ask the runtime about a function met the first time.
    std::vector<PermanentFunctionData> data(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        m_pFunctions->GetFunctionData(m_pFunctions->MapFunction(frames[frames.size() - 1 - i]),
                                      data[i]);
    }
    SpinLockGuard guard(m_AllocationLock);
    BufferedWriteStream& allocations = m_Allocations.Stream();
    const int64_t stackPosition = m_Stacks.Position();
    BYTE* p = allocations.Reserve(PointerSize + 8);
    p = EncodeId(p, objectId);
    p = EncodeU64(p, static_cast<uint64_t>(stackPosition));
    allocations.Commit(p);
    BufferedWriteStream& stacks = m_Stacks.Stream();
    WriteCounter(stacks, static_cast<uint32_t>(data.size()));
    for (const PermanentFunctionData& frame : data) {
        p = stacks.Reserve(8);
        p = EncodeU32(p, frame.metaDataIndex);
        p = EncodeU32(p, frame.token);
        stacks.Commit(p);
    }
    m_Allocations.Count();
}

// ---- Ranges, finalisation, roots

void GcGatherer::MovedReferences(ULONG count, const ObjectID oldStarts[],
                                 const ObjectID newStarts[], const ULONG lengths[]) {
    RequireSnapshot();
    SpinLockGuard guard(m_MovedLock);
    BufferedWriteStream& stream = m_Moved.Stream();
    for (ULONG i = 0; i < count; ++i) {
        BYTE* p = stream.Reserve(3 * PointerSize);
        p = EncodeId(p, newStarts[i]);
        p = EncodeId(p, newStarts[i] + lengths[i]);
        p = EncodeId(p, oldStarts[i]);
        stream.Commit(p);
    }
    m_Moved.Count(count);
}

void GcGatherer::SurvivingReferences(ULONG count, const ObjectID starts[], const ULONG lengths[]) {
    RequireSnapshot();
    SpinLockGuard guard(m_SurvivingLock);
    BufferedWriteStream& stream = m_Surviving.Stream();
    for (ULONG i = 0; i < count; ++i) {
        BYTE* p = stream.Reserve(2 * PointerSize);
        p = EncodeId(p, starts[i]);
        p = EncodeId(p, starts[i] + lengths[i]);
        stream.Commit(p);
    }
    m_Surviving.Count(count);
}

void GcGatherer::FinalizeableObjectQueued(DWORD flags, ObjectID objectId) {
    RequireSnapshot();
    SpinLockGuard guard(m_FinalizerLock);
    BufferedWriteStream& stream = m_Finalizers.Stream();
    BYTE* p = stream.Reserve(PointerSize + 4);
    p = EncodeId(p, objectId);
    p = EncodeU32(p, flags);
    stream.Commit(p);
    m_Finalizers.Count();
}

void GcGatherer::RootFunction(UINT_PTR functionId, DWORD& metaDataIndex, DWORD& token) {
    metaDataIndex = 0;
    token = NoFunctionToken;
    if (functionId == 0) {
        return;
    }
    ClassID classId = 0;
    ModuleID moduleId = 0;
    mdToken functionToken = 0;
    const HRESULT hr = m_pInfo->GetFunctionInfo(functionId, &classId, &moduleId, &functionToken);
    if (hr == FunctionNotCompiled) {
        return;
    }
    if (FAILED(hr)) {
        throw _hr_error("Can't get function info", hr);
    }
    metaDataIndex = m_pMetaData->GetMetaDataIndex(moduleId);
    token = functionToken;
}

void GcGatherer::RootReferences2(ULONG count, const ObjectID objectIds[],
                                 const COR_PRF_GC_ROOT_KIND kinds[],
                                 const COR_PRF_GC_ROOT_FLAGS flags[], const UINT_PTR rootIds[]) {
    RequireSnapshot();
    // Functions are looked up first: that asks the runtime and the metadata gatherer.
    std::vector<PermanentFunctionData> functions(count, PermanentFunctionData{0, 0});
    for (ULONG i = 0; i < count; ++i) {
        if (objectIds[i] != 0 && kinds[i] == COR_PRF_GC_ROOT_STACK) {
            RootFunction(rootIds[i], functions[i].metaDataIndex, functions[i].token);
        }
    }
    SpinLockGuard guard(m_RootsLock);
    for (ULONG i = 0; i < count; ++i) {
        if (objectIds[i] == 0) {
            continue;
        }
        BufferedWriteStream& stream = m_Roots.Stream();
        BYTE* p = stream.Reserve(PointerSize + 10);
        p = EncodeId(p, objectIds[i]);
        p = EncodeU8(p, static_cast<uint8_t>(kinds[i]));
        p = EncodeU8(p, static_cast<uint8_t>(flags[i]));
        p = EncodeU32(p, functions[i].metaDataIndex);
        p = EncodeU32(p, functions[i].token);
        stream.Commit(p);
        m_Roots.Count();
    }
}

// ---- Objects

void GcGatherer::ObjectReferences(ObjectID objectId, ClassID classId, ULONG count,
                                  const ObjectID references[]) {
    RequireSnapshot();
    SpinLockGuard guard(m_ObjectsLock);
    ClassFacts& facts = Facts(classId);
    const ULONG rank = facts.rank;
    ULONG size = 0;
    HRESULT hr = m_pInfo->GetObjectSize(objectId, &size);
    if (FAILED(hr)) {
        throw _hr_error("Can't get object size", hr);
    }
    // Reused from object to object: only the first `count` slots mean anything.
    if (m_Slots.size() < count) {
        m_Slots.resize(count);
    }
    std::fill_n(m_Slots.data(), count, Slot{-1, rank > 0 ? NoElement : 0, false});
    if (rank > 0 || !m_Lengths.empty()) {
        m_Lengths.assign(rank, 0);
        m_LowerBounds.assign(rank, 0);
    }
    if (rank > 0) {
        MatchArray(objectId, facts, size, count, references);
    } else if (count > 0) {
        if (facts.pLayout == nullptr) {
            facts.pLayout = &m_Layouts.Get(classId);
        }
        const ClassLayoutCache::Layout& layout = *facts.pLayout;
        if (layout.valueSize != 0 && !facts.boxKnown) {
            hr = m_pInfo->GetBoxClassLayout(classId, &facts.boxOffset);
            if (FAILED(hr)) {
                throw _hr_error("Can't get box layout", hr);
            }
            facts.boxKnown = true;
        }
        const ULONG32 offset = layout.valueSize != 0 ? facts.boxOffset : 0;
        for (const ClassLayoutCache::ReferenceField& field : layout.fields) {
            if (uint64_t{offset} + field.offset + PointerSize > size) {
                throw std::runtime_error("Field outside object");
            }
        }
        MatchFields(layout.fields, objectId + offset, 0, count, references);
    }
    WriteObject(objectId, classId, facts, size, count, references);
}

GcGatherer::ClassFacts& GcGatherer::Facts(ClassID classId) {
    auto found = m_ClassFacts.find(classId);
    if (found != m_ClassFacts.end()) {
        return found->second;
    }
    ClassFacts facts;
    const HRESULT hr =
        m_pInfo->IsArrayClass(classId, &facts.elementType, &facts.elementClass, &facts.rank);
    if (FAILED(hr)) {
        throw _hr_error("Can't detect arrays", hr);
    }
    if (hr != S_OK) {
        facts.rank = 0;
    }
    return m_ClassFacts.emplace(classId, facts).first->second;
}

void GcGatherer::MatchArray(ObjectID objectId, const ClassFacts& facts, ULONG size, ULONG count,
                            const ObjectID references[]) {
    const ULONG32 rank = static_cast<ULONG32>(m_Lengths.size());
    BYTE* pData = nullptr;
    HRESULT hr =
        m_pInfo->GetArrayObjectInfo(objectId, rank, m_Lengths.data(), m_LowerBounds.data(), &pData);
    if (FAILED(hr)) {
        throw _hr_error("Can't array info", hr);
    }
    if (count == 0) {
        return;
    }
    uint64_t elementCount = 1;
    for (ULONG32 length : m_Lengths) {
        elementCount *= length;
    }
    // Elements of a value type carry that type's reference fields; any other element is one
    // reference, which no field record names.
    const std::vector<ClassLayoutCache::ReferenceField>* pFields = &m_ReferenceElement;
    uint64_t elementSize = PointerSize;
    if (facts.elementType == ELEMENT_TYPE_VALUETYPE) {
        const ClassLayoutCache::Layout& layout = m_Layouts.Get(facts.elementClass);
        if (layout.valueSize != 0) {
            pFields = &layout.fields;
            elementSize = layout.valueSize;
        }
    }
    const UINT_PTR data = reinterpret_cast<UINT_PTR>(pData);
    if (data < objectId) {
        throw std::runtime_error("Too large element size");
    }
    const uint64_t expected = (data - objectId) + elementCount * elementSize;
    if (size < expected) {
        throw std::runtime_error("Too large element size");
    }
    // The object's size also counts the header in front of the object id, one pointer wide.
    if (size > expected + PointerSize) {
        throw std::runtime_error("Too small element size");
    }
    for (const ClassLayoutCache::ReferenceField& field : *pFields) {
        if (field.offset + PointerSize > elementSize) {
            throw std::runtime_error("Field outside object");
        }
    }
    for (uint64_t element = 0; element < elementCount; ++element) {
        MatchFields(*pFields, data + element * elementSize, static_cast<DWORD>(element), count,
                    references);
    }
}

void GcGatherer::MatchFields(const std::vector<ClassLayoutCache::ReferenceField>& fields,
                             UINT_PTR base, DWORD element, ULONG count,
                             const ObjectID references[]) {
    m_Values.clear();
    for (const ClassLayoutCache::ReferenceField& field : fields) {
        const UINT_PTR value = ReadReference(base + field.offset);
        if (value != 0) {
            m_Values.emplace_back(value, field.position);
        }
    }
    // Insertion sort: stable (fields keep their order among equal values), and an object has few
    // reference fields; std::stable_sort would allocate a buffer per object.
    for (size_t i = 1; i < m_Values.size(); ++i) {
        for (size_t j = i; j > 0 && m_Values[j].first < m_Values[j - 1].first; --j) {
            std::swap(m_Values[j], m_Values[j - 1]);
        }
    }
    const ObjectID* const pEnd = references + count;
    const ObjectID* pStart = references;
    for (const auto& [value, position] : m_Values) {
        const ObjectID* pHit = std::lower_bound(pStart, pEnd, value);
        if (pHit == pEnd || *pHit != value) {
            throw std::runtime_error("Can't find reference in reference list");
        }
        pStart = pHit;
        // The first free one of the equal entries, looking down from the hit, then up.
        ptrdiff_t chosen = -1;
        for (ptrdiff_t i = pHit - references; i >= 0 && references[i] == value; --i) {
            if (!m_Slots[i].taken) {
                chosen = i;
                break;
            }
        }
        for (ptrdiff_t i = pHit - references + 1;
             chosen < 0 && i < ptrdiff_t{count} && references[i] == value; ++i) {
            if (!m_Slots[i].taken) {
                chosen = i;
            }
        }
        if (chosen < 0) {
            throw std::runtime_error("Detected unknown reference");
        }
        m_Slots[chosen] = Slot{position, element, true};
    }
}

void GcGatherer::WriteObject(ObjectID objectId, ClassID classId, ClassFacts& facts, ULONG size,
                             ULONG count, const ObjectID references[]) {
    if (!facts.positionKnown) {
        facts.position = m_pClasses->CollectClassId(classId);
        facts.positionKnown = true;
    }
    const INT32 classPosition = facts.position;
    const bool array = !m_Lengths.empty();
    BufferedWriteStream& details = m_Details.Stream();
    const int64_t detailsPosition = m_Details.Position();
    BYTE* p = details.Reserve(PointerSize + 16);
    p = EncodeId(p, objectId);
    p = EncodeU32(p, size);
    p = EncodeU64(p, static_cast<uint64_t>(int64_t{classPosition}));
    p = EncodeU32(p, static_cast<uint32_t>(m_Lengths.size()));
    details.Commit(p);
    for (size_t i = 0; i < m_Lengths.size(); ++i) {
        p = details.Reserve(8);
        p = EncodeU32(p, m_Lengths[i]);
        p = EncodeU32(p, static_cast<uint32_t>(m_LowerBounds[i]));
        details.Commit(p);
    }

    BufferedWriteStream& objects = m_Objects.Stream();
    p = objects.Reserve(PointerSize + 13);
    p = EncodeId(p, objectId);
    p = EncodeU8(p, array ? 1 : 0);
    p = EncodeU64(p, static_cast<uint64_t>(detailsPosition));
    p = EncodeU32(p, count);
    objects.Commit(p);
    for (ULONG i = 0; i < count; ++i) {
        p = objects.Reserve(PointerSize + 12);
        p = EncodeId(p, references[i]);
        if (array) {
            p = EncodeU32(p, m_Slots[i].element);
        }
        p = EncodeU64(p, static_cast<uint64_t>(m_Slots[i].field));
        objects.Commit(p);
    }
    m_Objects.Include(objectId);
    m_Objects.Count();
    m_Details.Count();
}

// ---- Collections

void GcGatherer::GarbageCollectionStarted(int generationCount, const BOOL collected[],
                                          COR_PRF_GC_REASON reason) {
    // The facts of a collection whose end failed before forgetting them hold field positions
    // into a section that is closed now.
    ForgetClasses();
    RequireSnapshot();
    {
        SpinLockGuard guard(m_AllocationLock);
        m_Allocations.Close();
    }
    WriteCollectionStart(generationCount, collected, reason);
    WriteHeaps(HeapsAtStartType);
}

void GcGatherer::GarbageCollectionFinished() {
    RequireSnapshot();
    DWORD objectCount = 0;
    DWORD rootCount = 0;
    {
        SpinLockGuard objects(m_ObjectsLock);
        objectCount = m_Objects.IsOpen() ? m_Objects.GetCount() : 0;
    }
    {
        SpinLockGuard roots(m_RootsLock);
        rootCount = m_Roots.IsOpen() ? m_Roots.GetCount() : 0;
    }
    if (objectCount != 0 || rootCount != 0) {
        Log::Format("GG::WriteGarbageCollectionFinished objectCount=%u rootCount=%u", objectCount,
                    rootCount);
    }
    const std::pair<SpinLock*, SectionWriter*> writers[] = {
        {&m_FinalizerLock, &m_Finalizers}, {&m_MovedLock, &m_Moved},
        {&m_SurvivingLock, &m_Surviving},  {&m_RootsLock, &m_Roots},
        {&m_ObjectsLock, &m_Objects},      {&m_ObjectsLock, &m_Details},
        {&m_FieldLock, &m_Fields}};
    for (const auto& [pLock, pWriter] : writers) {
        SpinLockGuard guard(*pLock);
        pWriter->Close();
    }
    WriteHeaps(HeapsAtEndType);
    ForgetClasses();
}

void GcGatherer::ForgetClasses() {
    // Together, under the lock the objects' callbacks hold: a class's facts point to its layout.
    SpinLockGuard guard(m_ObjectsLock);
    m_ClassFacts.clear();
    m_Layouts.Clear();
}

void GcGatherer::WriteCollectionStart(int generationCount, const BOOL collected[],
                                      COR_PRF_GC_REASON reason) {
    Platform::SYSTEMTIME now{};
    Platform::GetLocalTime(&now);
    Platform::FILETIME fileTime{};
    Platform::SystemTimeToFileTime(&now, &fileTime);
    ISnapShotStorage* pStorage = m_pStorage.load();
    IWriteSeekBridgeStream* pSection = pStorage->CreateSection();
    WriteU32(*pSection, fileTime.dwLowDateTime);
    WriteU32(*pSection, fileTime.dwHighDateTime);
    const size_t count = generationCount > 0 ? static_cast<size_t>(generationCount) : 0;
    WriteSizeTAsUInt8(*pSection, count);
    for (size_t i = 0; i < count; ++i) {
        WriteU8(*pSection, collected[i] ? 1 : 0);
    }
    WriteSizeTAsUInt8(*pSection, static_cast<size_t>(reason));
    pStorage->CloseSection(pSection, CollectionStartType, 0);
}

void GcGatherer::WriteHeaps(WORD type) {
    ULONG count = 0;
    HRESULT hr = m_pInfo->GetGenerationBounds(0, &count, nullptr);
    std::vector<COR_PRF_GC_GENERATION_RANGE> ranges(count);
    if (SUCCEEDED(hr) && count > 0) {
        hr = m_pInfo->GetGenerationBounds(count, &count, ranges.data());
        ranges.resize(std::min<size_t>(count, ranges.size()));
    }
    if (FAILED(hr)) {
        throw _hr_error("Can't get generation bounds", hr);
    }
    if (Log::IsEnabled(LogComponent::DumpGt)) {
        std::string block;
        for (size_t i = 0; i < ranges.size(); ++i) {
            Log::AppendBlockFormat(block, "#%u gen=%s base=%p size=%p reservedSize=%p",
                                   static_cast<unsigned>(i), GenerationName(ranges[i].generation),
                                   reinterpret_cast<void*>(ranges[i].rangeStart),
                                   reinterpret_cast<void*>(ranges[i].rangeLength),
                                   reinterpret_cast<void*>(ranges[i].rangeLengthReserved));
        }
        Log::BlockFormat(block, "GG::WriteHeaps count=%u", static_cast<unsigned>(ranges.size()));
    }
    ISnapShotStorage* pStorage = m_pStorage.load();
    IWriteSeekBridgeStream* pSection = pStorage->CreateSection();
    WriteU8(*pSection, PointerSize);
    WriteSizeTAsUInt32(*pSection, ranges.size());
    for (const COR_PRF_GC_GENERATION_RANGE& range : ranges) {
        BYTE bytes[1 + 2 * PointerSize];
        BYTE* p = EncodeU8(bytes, static_cast<uint8_t>(range.generation));
        p = EncodeId(p, range.rangeStart);
        p = EncodeId(p, range.rangeStart + range.rangeLength);
        pSection->Write(bytes, static_cast<size_t>(p - bytes));
    }
    pStorage->CloseSection(pSection, type, 0);
}
