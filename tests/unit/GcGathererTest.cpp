// The heap writer against section bytes built by hand from the documented layouts, over a small
// heap in the test runtime: linked objects, a boxed value, a generic class holding a value and a
// string, arrays of references and of values, roots and sampled allocations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Profiler/ClassGatherer.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/Memory/GcGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ScopedLog.h"
#include "support/TestRuntime.h"
#include "support/WireBytes.h"

using namespace WireBytes;
using Operation = TestRuntime::Operation;

namespace {

constexpr ULONG P = sizeof(void*);
constexpr DWORD Index = 3;
constexpr BOOL Collected[] = {TRUE, FALSE, FALSE};

enum : mdToken {
    TdObject = 0x02000002,
    TdValueType,
    TdNode,
    TdPair,
    TdHolder,
    TdString,
    FdNext = 0x04000001,
    FdOther,
    FdCount,
    FdPairRef,
    FdPairNumber,
    FdValue,
};

const Bytes Width{P}, Plain{0}, ArrayFlag{1};

Bytes Id(UINT_PTR value) {
    return P == 8 ? U64(value) : U32(static_cast<uint32_t>(value));
}

Bytes I64(int64_t value) {
    return U64(static_cast<uint64_t>(value));
}

Bytes FieldRecord(int64_t inner, mdToken token) {
    return Concat({I64(inner), U32(Index), U32(token)});
}

class TableMetaData : public MetaDataGatherer {
public:
    DWORD GetMetaDataIndex(ModuleID) override { return Index; }
};

// Node { Node next; [modopt] Node other; int count }, struct Pair { object ref; int number },
// Holder<T> { T value }, and their objects.
struct Heap {
    Heap() {
        module = runtime.AddModule({u"/m.dll", 0x1000, 0x2000});
        TestMetaDataImport& metaData = runtime.MetaDataOf(module);
        metaData.m_TypeDefs = {
            {TdObject, {u"System.Object", 0}},   {TdValueType, {u"System.ValueType", TdObject}},
            {TdNode, {u"Node", TdObject}},       {TdPair, {u"Pair", TdValueType}},
            {TdHolder, {u"Holder`1", TdObject}}, {TdString, {u"System.String", TdObject}}};
        metaData.m_FieldSignatures = {
            {FdNext, {0x06, 0x12, 0x10}}, {FdOther, {0x06, 0x20, 0x10, 0x12, 0x10}},
            {FdCount, {0x06, 0x08}},      {FdPairRef, {0x06, 0x1C}},
            {FdPairNumber, {0x06, 0x08}}, {FdValue, {0x06, 0x13, 0x00}}};
        cObject = runtime.AddClass(module, TdObject);
        cValueType = runtime.AddClass(module, TdValueType, cObject);
        cString = runtime.AddClass(module, TdString, cObject);
        cNode = runtime.AddClass(module, TdNode, cObject);
        cPair = runtime.AddClass(module, TdPair, cValueType);
        cHolderPair = runtime.AddClass(module, TdHolder, cObject, {cPair});
        cHolderString = runtime.AddClass(module, TdHolder, cObject, {cString});
        cNodeArray = runtime.AddArrayClass(cNode, 1);
        cPairArray = runtime.AddArrayClass(cPair, 1, ELEMENT_TYPE_VALUETYPE);
        runtime.SetClassLayout(cObject, {}, P);
        runtime.SetClassLayout(cValueType, {}, P);
        runtime.SetClassLayout(cNode, {{FdNext, P}, {FdOther, 2 * P}, {FdCount, 3 * P}}, 4 * P);
        runtime.SetClassLayout(cPair, {{FdPairRef, 0}, {FdPairNumber, P}}, 2 * P);
        runtime.SetClassLayout(cHolderPair, {{FdValue, P}}, 3 * P);
        runtime.SetClassLayout(cHolderString, {{FdValue, P}}, 2 * P);
        n1 = runtime.AddObject(cNode, 5 * P);
        n2 = runtime.AddObject(cNode, 5 * P);
        runtime.SetReference(n1, P, n2);
        runtime.SetReference(n1, 2 * P, n2);
        box = runtime.AddObject(cPair, 4 * P);
        runtime.SetReference(box, P, n1);
        holder = runtime.AddObject(cHolderPair, 4 * P);
        runtime.SetReference(holder, P, n2);
        text = runtime.AddObject(cString, 4 * P);
        holderString = runtime.AddObject(cHolderString, 3 * P);
        runtime.SetReference(holderString, P, text);
        nodes = runtime.AddArray(cNodeArray, {3}, P);
        std::memcpy(runtime.ArrayData(nodes), &n1, P);
        std::memcpy(runtime.ArrayData(nodes) + 2 * P, &n1, P);
        pairs = runtime.AddArray(cPairArray, {2}, 2 * P);
        std::memcpy(runtime.ArrayData(pairs), &n2, P);
        classes.Create(&runtime);
        functions.Create(&runtime);
        heap.Initialize(&runtime);
        heap.AssignSnapshot(&storage);
    }
    ~Heap() {
        heap.Close();
        functions.Close();
        classes.Close();
    }
    void Objects(ObjectID object, ClassID classId, std::vector<ObjectID> sorted) {
        heap.ObjectReferences(object, classId, static_cast<ULONG>(sorted.size()), sorted.data());
    }
    void AllObjects() {
        Objects(n1, cNode, {n2, n2});
        Objects(box, cPair, {n1});
        Objects(holder, cHolderPair, {n2});
        Objects(holderString, cHolderString, {text});
        Objects(nodes, cNodeArray, {n1, n1});
        Objects(pairs, cPairArray, {n2});
    }
    std::vector<WORD> ClosedTypes() const {
        std::vector<WORD> types;
        for (const auto& section : storage.Closed()) {
            types.push_back(section.type);
        }
        return types;
    }
    const MemorySnapShotStorage::Section& Closed(WORD type, size_t nth = 0) const {
        for (const auto& section : storage.Closed()) {
            if (section.type == type && nth-- == 0) {
                return section;
            }
        }
        throw std::logic_error("no such section");
    }
    TestRuntime runtime;
    TableMetaData metaData;
    ClassGatherer classes{&metaData};
    FunctionGatherer functions{&metaData};
    GcGatherer heap{&classes, &metaData, &functions};
    MemorySnapShotStorage storage;
    ModuleID module = 0;
    ClassID cObject, cValueType, cString, cNode, cPair, cHolderPair, cHolderString, cNodeArray,
        cPairArray;
    ObjectID n1, n2, box, holder, text, holderString, nodes, pairs;
};

TEST(GcGatherer, CollectionWithoutDumpWritesRangesQueueAndHeapsOnly) {
    ScopedLog log(0);
    Heap h;
    h.runtime.SetGenerationBounds({{COR_PRF_GC_GEN_0, 0x10000, 0x200, 0x1000},
                                   {COR_PRF_GC_LARGE_OBJECT_HEAP, 0x80000, 0x40, 0x100}});
    h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_INDUCED);
    const ObjectID oldStarts[] = {0x5000, 0x6000};
    const ObjectID newStarts[] = {0x1000, 0x2000};
    const ULONG lengths[] = {0x10, 0x20};
    h.heap.MovedReferences(2, oldStarts, newStarts, lengths);
    h.heap.SurvivingReferences(1, newStarts, lengths);
    h.heap.FinalizeableObjectQueued(1, h.n1);
    h.heap.GarbageCollectionFinished();
    EXPECT_EQ(h.ClosedTypes(), (std::vector<WORD>{0x3100, 0x3101, 0x3106, 0x3103, 0x3104, 0x3102}));
    EXPECT_EQ(h.Closed(0x3106).content, Concat({Width, U32(1), Id(h.n1), U32(1)}));
    const Bytes& start = h.Closed(0x3100).content;
    ASSERT_EQ(start.size(), 8u + 1 + 3 + 1);
    EXPECT_EQ(Bytes(start.begin() + 8, start.end()), (Bytes{3, 1, 0, 0, 1}));
    const Bytes heaps = Concat(
        {Width, U32(2), Plain, Id(0x10000), Id(0x10200), Bytes{3}, Id(0x80000), Id(0x80040)});
    EXPECT_EQ(h.Closed(0x3101).content, heaps);
    EXPECT_EQ(h.Closed(0x3102).content, heaps);
    EXPECT_EQ(h.Closed(0x3103).content, Concat({Width, U32(2), Id(0x1000), Id(0x1010), Id(0x5000),
                                                Id(0x2000), Id(0x2020), Id(0x6000)}));
    EXPECT_EQ(h.Closed(0x3104).content, Concat({Width, U32(1), Id(0x1000), Id(0x1010)}));
    for (const auto& section : h.storage.Closed()) {
        EXPECT_EQ(section.version, 0) << section.type;
    }
}

TEST(GcGatherer, ObjectsCarryDetailsFieldSlotsAndElementIndexes) {
    ScopedLog log(0);
    Heap h;
    h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_INDUCED);
    h.AllObjects();
    h.heap.GarbageCollectionFinished();
    EXPECT_EQ(h.ClosedTypes(), (std::vector<WORD>{0x3100, 0x3101, 0x3105, 0x3109, 0x3110, 0x3102}));
    EXPECT_EQ(h.Closed(0x3105).version, 1);
    // Node's two fields, Pair's reference, and Holder<Pair>.value naming Pair's field inside it.
    EXPECT_EQ(h.Closed(0x3110).content,
              Concat({FieldRecord(-1, FdNext), FieldRecord(-1, FdOther), FieldRecord(-1, FdPairRef),
                      FieldRecord(32, FdValue)}));

    // A details record: object, size, class record, dimensions (an array's: rank 1, length).
    const auto detail = [&h](ObjectID object, ULONG size, ClassID c, Bytes dimensions) {
        return Concat({Id(object), U32(size), I64(h.classes.CollectClassId(c)), dimensions});
    };
    const auto vector = [](DWORD length) { return Concat({U32(1), U32(length), U32(0)}); };
    const Bytes details = Concat({Width, U32(6), detail(h.n1, 5 * P, h.cNode, U32(0)),
                                  detail(h.box, 4 * P, h.cPair, U32(0)),
                                  detail(h.holder, 4 * P, h.cHolderPair, U32(0)),
                                  detail(h.holderString, 3 * P, h.cHolderString, U32(0)),
                                  detail(h.nodes, 6 * P, h.cNodeArray, vector(3)),
                                  detail(h.pairs, 7 * P, h.cPairArray, vector(2))});
    EXPECT_EQ(h.Closed(0x3109).content, details);
    const int64_t r = P + 16;  // a details record without array dimensions
    const ObjectID written[] = {h.n1, h.box, h.holder, h.holderString, h.nodes, h.pairs};
    const Bytes expected =
        Concat({Width, U32(6), Id(*std::min_element(std::begin(written), std::end(written))),
                Id(*std::max_element(std::begin(written), std::end(written))),
                // Two fields, one object: each entry of the pair gets its own field.
                Id(h.n1), Plain, I64(5), U32(2), Id(h.n2), I64(0), Id(h.n2), I64(16),
                // The boxed value's field, found behind the box header.
                Id(h.box), Plain, I64(5 + r), U32(1), Id(h.n1), I64(32), Id(h.holder), Plain,
                I64(5 + 2 * r), U32(1), Id(h.n2), I64(48),
                // A string as generic argument is no field.
                Id(h.holderString), Plain, I64(5 + 3 * r), U32(1), Id(h.text), I64(-1),
                // Elements 0 and 2 of a reference array.
                Id(h.nodes), ArrayFlag, I64(5 + 4 * r), U32(2), Id(h.n1), U32(0), I64(-1), Id(h.n1),
                U32(2), I64(-1),
                // Element 0 of a value array, through the value's field.
                Id(h.pairs), ArrayFlag, I64(5 + 5 * r + 8), U32(1), Id(h.n2), U32(0), I64(32)});
    EXPECT_EQ(h.Closed(0x3105).content, expected);

    // Layouts are built once per collection: the next one asks the runtime again.
    const unsigned asked = h.runtime.CallCount(Operation::GetClassLayout);
    h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_INDUCED);
    h.Objects(h.n1, h.cNode, {h.n2, h.n2});
    h.Objects(h.n2, h.cNode, {});
    h.heap.GarbageCollectionFinished();
    EXPECT_EQ(h.runtime.CallCount(Operation::GetClassLayout), asked + 3);
    // Also after a collection whose end failed before it could forget them.
    h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_INDUCED);
    h.Objects(h.n1, h.cNode, {h.n2, h.n2});
    h.runtime.FailNext(Operation::GetGenerationBounds, E_FAIL);
    EXPECT_THROW(h.heap.GarbageCollectionFinished(), std::exception);
    h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_INDUCED);
    h.Objects(h.n1, h.cNode, {h.n2, h.n2});
    h.heap.GarbageCollectionFinished();
    EXPECT_EQ(h.runtime.CallCount(Operation::GetClassLayout), asked + 9);
}

TEST(GcGatherer, RootsNameTheFunctionOfStackRootsOnly) {
    ScopedLog log(0);
    Heap h;
    const FunctionID function = h.runtime.AddFunction(h.module, 0x06000010);
    const FunctionID uncompiled = h.runtime.AddFunction(h.module, 0x06000011);
    h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_OTHER);
    const ObjectID objects[] = {h.n1, 0, h.n2, h.box, h.holder};
    const COR_PRF_GC_ROOT_KIND kinds[] = {COR_PRF_GC_ROOT_STACK, COR_PRF_GC_ROOT_STACK,
                                          COR_PRF_GC_ROOT_HANDLE, COR_PRF_GC_ROOT_STACK,
                                          COR_PRF_GC_ROOT_STACK};
    const COR_PRF_GC_ROOT_FLAGS flags[] = {COR_PRF_GC_ROOT_FLAGS(0), COR_PRF_GC_ROOT_FLAGS(0),
                                           COR_PRF_GC_ROOT_FLAGS(3), COR_PRF_GC_ROOT_FLAGS(0),
                                           COR_PRF_GC_ROOT_FLAGS(4)};
    const UINT_PTR rootIds[] = {function, function, 0x1234, 0, uncompiled};
    h.runtime.Fail(Operation::GetFunctionInfo, MakeHResult(0x80131351));
    EXPECT_EQ(ErrorText([&] {
                  h.heap.RootReferences2(1, &objects[4], &kinds[4], &flags[4], &rootIds[4]);
              }),
              "(nothing raised)");
    h.runtime.Succeed(Operation::GetFunctionInfo);
    h.heap.RootReferences2(4, objects, kinds, flags, rootIds);
    h.heap.GarbageCollectionFinished();
    EXPECT_EQ(h.Closed(0x3107).content,
              Concat({Width, U32(4), Id(h.holder), Bytes{1, 4}, U32(0), U32(0xFF000000), Id(h.n1),
                      Bytes{1, 0}, U32(Index), U32(0x06000010), Id(h.n2), Bytes{3, 3}, U32(0),
                      U32(0), Id(h.box), Bytes{1, 0}, U32(0), U32(0xFF000000)}));
}

TEST(GcGatherer, SampledAllocationsPointAtStacksThatOutliveCollections) {
    ScopedLog log(0);
    Heap h;
    const ThreadID thread = h.runtime.StartThreadHere();
    const FunctionID outer = h.runtime.AddFunction(h.module, 0x06000001);
    const FunctionID inner = h.runtime.AddFunction(h.module, 0x06000002);
    h.runtime.SetStack(thread, {inner, 0, outer});
    const Bytes stack = Concat({Bytes{3}, U32(Index), U32(0x06000001), U32(0), U32(0xFF000000),
                                U32(Index), U32(0x06000002)});
    h.heap.ObjectAllocated(h.n1, h.cNode);
    h.heap.ObjectAllocated(h.n2, h.cNode);
    h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_OTHER);
    h.heap.GarbageCollectionFinished();
    // A failed walk records an empty stack and a warning; the allocation itself is kept.
    h.runtime.FailNext(Operation::DoStackSnapshot, E_FAIL);
    h.heap.ObjectAllocated(h.box, h.cPair);
    h.heap.CloseAllocationStacks();
    EXPECT_EQ(h.ClosedTypes(), (std::vector<WORD>{0x3111, 0x3100, 0x3101, 0x3102, 0x3111, 0x3112}));
    EXPECT_EQ(h.Closed(0x3111, 0).content,
              Concat({Width, U32(2), Id(h.n1), I64(0), Id(h.n2), I64(25)}));
    EXPECT_EQ(h.Closed(0x3111, 1).content, Concat({Width, U32(1), Id(h.box), I64(50)}));
    EXPECT_EQ(h.Closed(0x3112).content, Concat({stack, stack, Bytes{0}}));
    const std::vector<std::string> lines = ReadLogLinesAfterRecord();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("WARNING: Can't take stack trace hr=80004005") != std::string::npos;
    }));
    EXPECT_EQ(ErrorText([&] { h.heap.ObjectAllocated(h.n1, h.cNode); }), "No snapshot assigned");
    h.runtime.EndThreadHere(thread);
}

TEST(GcGatherer, EveryFailureHasItsText) {
    ScopedLog log(0);
    struct Row {
        std::function<void(Heap&)> act;
        std::string text;
    };
    const auto fail = [](Operation operation, std::function<void(Heap&)> act) {
        return [operation, act](Heap& h) {
            h.runtime.Fail(operation, E_FAIL);
            act(h);
        };
    };
    const auto node = [](Heap& h) { h.Objects(h.n1, h.cNode, {h.n2, h.n2}); };
    const auto pairs = [](Heap& h) { h.Objects(h.pairs, h.cPairArray, {h.n2}); };
    const auto started = [](Heap& h) {
        h.heap.GarbageCollectionStarted(3, Collected, COR_PRF_GC_OTHER);
    };
    const std::string code = " (COM error code 0x80004005)";
    const Row rows[] = {
        {fail(Operation::IsArrayClass, node), "Can't detect arrays" + code},
        {fail(Operation::GetObjectSize, node), "Can't get object size" + code},
        {fail(Operation::GetClassIDInfo2, node), "Can't get class info" + code},
        {fail(Operation::GetModuleMetaData, node), "Can't get metadata" + code},
        {fail(Operation::GetClassLayout, node), "Can't get class layout size" + code},
        {fail(Operation::GetBoxClassLayout, [](Heap& h) { h.Objects(h.box, h.cPair, {h.n1}); }),
         "Can't get box layout" + code},
        {fail(Operation::GetArrayObjectInfo, pairs), "Can't array info" + code},
        {fail(Operation::GetGenerationBounds, started), "Can't get generation bounds" + code},
        {[](Heap& h) {
             const FunctionID f = h.runtime.AddFunction(h.module, 0x06000001);
             h.runtime.Fail(Operation::GetFunctionInfo, E_FAIL);
             const ObjectID id = h.n1;
             const COR_PRF_GC_ROOT_KIND kind = COR_PRF_GC_ROOT_STACK;
             const COR_PRF_GC_ROOT_FLAGS flags{};
             h.heap.RootReferences2(1, &id, &kind, &flags, &f);
         },
         "Can't get function info" + code},
        {[](Heap& h) { h.Objects(h.n1, h.cNode, {h.box}); },
         "Can't find reference in reference list"},
        {[](Heap& h) { h.Objects(h.n1, h.cNode, {h.n2}); }, "Detected unknown reference"},
        {[&node](Heap& h) {
             h.runtime.MetaDataOf(h.module).m_FieldSignatures[FdOther] = {0x05, 0x12};
             node(h);
         },
         "Field signature expected"},
        {[&node](Heap& h) {
             h.runtime.MetaDataOf(h.module).m_FieldSignatures[FdOther] = {0x06, 0x20};
             node(h);
         },
         "Field signature is cut short"},
        {[&pairs](Heap& h) {
             h.runtime.SetClassLayout(h.cPair, {{FdPairRef, 0}}, 4 * P);
             pairs(h);
         },
         "Too large element size"},
        {[&pairs](Heap& h) {
             h.runtime.SetClassLayout(h.cPair, {{FdPairRef, 0}}, P);
             pairs(h);
         },
         "Too small element size"},
        {[](Heap& h) {
             const BOOL many[256] = {};
             h.heap.GarbageCollectionStarted(256, many, COR_PRF_GC_OTHER);
         },
         "IWriteBridgeStream::WriteSizeTAsUInt8() too large value"},
        {[](Heap& h) { h.heap.AssignSnapshot(nullptr); }, "Can't assign empty snapshot"},
        {[](Heap& h) { h.heap.Initialize(nullptr); }, "Null interface pointer"},
        {[](Heap& h) {
             h.heap.Reset();
             h.heap.FinalizeableObjectQueued(0, h.n1);
         },
         "No snapshot assigned"},
    };
    for (const Row& row : rows) {
        Heap h;
        EXPECT_EQ(ErrorText([&] { row.act(h); }), row.text);
    }
}

}  // namespace
