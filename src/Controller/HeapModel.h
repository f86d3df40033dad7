// What a memory snapshot says, ready for reports: for every collection its generations, heap
// ranges and reason; for every heap dump the live objects by class (count and bytes), the
// references between classes with the field that holds them, the roots by kind and the functions
// that hold stack roots; and the sampled allocations grouped by allocating stack. Names come from
// the snapshot's own class and metadata sections (ClassNamer, MetaDataNameResolver).
//
// Field names read "Namespace.Type::field"; a field reached through a value embedded in the
// object adds the value's field: "Holder`1::value.Pair::item". References that no field holds
// read "[element]" for array elements and "[no field]" otherwise. Root kinds read "other",
// "stack", "finalizer" or "handle", followed by their flags in parentheses ("handle (pinning,
// weak)"). A stack frame or root function of metadata index 0 reads "[no function]".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Controller/ClassNamer.h"
#include "Controller/ClassTable.h"
#include "Controller/HeapSnapshot.h"
#include "Controller/MetaDataNameResolver.h"
#include "Controller/Snapshot.h"

namespace Controller {

class HeapModel {
public:
    static constexpr const char* ElementField = "[element]";
    static constexpr const char* NoField = "[no field]";
    static constexpr const char* UnknownObject = "[unknown object]";

    struct ClassCount {
        std::string name;
        uint64_t count = 0;
        uint64_t bytes = 0;
    };
    struct FieldReferences {
        std::string fromClass;
        std::string field;
        std::string toClass;
        uint64_t count = 0;
    };
    struct NamedCount {
        std::string name;
        uint64_t count = 0;
    };
    struct CollectionSummary {
        size_t index = 0;
        std::vector<bool> collected;
        bool induced = false;
        std::vector<HeapRange> heapsAtStart;
        std::vector<HeapRange> heapsAtEnd;
        size_t movedRanges = 0;
        size_t survivingRanges = 0;
        size_t finalizers = 0;
        bool dump = false;
    };
    struct Dump {
        size_t collection = 0;  // index into Collections()
        uint64_t objects = 0;
        uint64_t bytes = 0;
        std::vector<ClassCount> classes;             // most bytes first
        std::vector<FieldReferences> references;     // most references first
        std::vector<NamedCount> roots;               // by kind and flags, most first
        std::vector<NamedCount> stackRootFunctions;  // most first
    };
    struct AllocationStack {
        std::vector<std::string> frames;  // outermost first
        uint64_t count = 0;
    };

    // Reads the class, metadata and heap sections and builds the reports. Raises
    // std::runtime_error as ClassTable::Read and ReadHeapSnapshot do.
    static HeapModel Build(const Snapshot& snapshot);

    const HeapSnapshot& Heap() const { return m_Heap; }
    const std::vector<CollectionSummary>& Collections() const { return m_Collections; }
    const std::vector<Dump>& Dumps() const { return m_Dumps; }
    const std::vector<AllocationStack>& Allocations() const { return m_Allocations; }

    std::string ClassName(int64_t position) const { return m_pNamer->Name(position); }
    // The name of the field record at `position` in the collection's 0x3110.
    std::string FieldName(const HeapCollection& collection, int64_t position) const;
    std::string FunctionName(uint32_t metadataIndex, uint32_t token) const;
    static std::string RootKindName(uint8_t kind, uint8_t flags);

private:
    HeapModel() = default;
    Dump BuildDump(size_t index, const HeapCollection& collection) const;
    void BuildAllocations();

    // Held through pointers: the namer refers to both, and the model is moved.
    std::unique_ptr<ClassTable> m_pClasses;
    std::unique_ptr<MetaDataNameResolver> m_pNames;
    std::unique_ptr<ClassNamer> m_pNamer;
    HeapSnapshot m_Heap;
    std::vector<CollectionSummary> m_Collections;
    std::vector<Dump> m_Dumps;
    std::vector<AllocationStack> m_Allocations;
};

}  // namespace Controller
