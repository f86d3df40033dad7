// The heap data of a memory snapshot, read from its sections 0x3100 to 0x3112 and checked across
// them: the collections in the order they ran, each with its generations and heap ranges, the
// ranges that moved or survived and, for a heap dump, every live object with its details and
// references, the roots, the finaliser queue and the field records; and the sampled allocations
// with their stacks. Object ids and addresses are as wide as the snapshot's width byte says (4 on
// a 32-bit device, 8 on a 64-bit one) and are held here as 64-bit values.
//
// A collection is the run of sections from its 0x3100 to its 0x3102 in creation order; sampled
// allocations (0x3111) lie between collections and point into the snapshot's single 0x3112.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "Controller/ClassTable.h"
#include "Controller/Snapshot.h"

namespace Controller {

struct HeapRange {
    uint8_t generation = 0;  // 0, 1, 2, 3 the large object heap, 4 the pinned object heap
    uint64_t start = 0;
    uint64_t end = 0;
};

struct MovedRange {
    uint64_t newStart = 0;
    uint64_t newEnd = 0;
    uint64_t oldStart = 0;
};

struct SurvivingRange {
    uint64_t start = 0;
    uint64_t end = 0;
};

struct HeapReference {
    static constexpr uint32_t NoElement = 0xFFFFFFFF;

    uint64_t target = 0;
    uint32_t element = NoElement;  // the array element that holds it; NoElement outside arrays
    int64_t field = -1;            // position of its field record in 0x3110; -1 for none
};

struct ArrayDimension {
    uint32_t length = 0;
    int32_t lowerBound = 0;
};

struct HeapObject {
    uint64_t id = 0;
    uint32_t size = 0;
    int64_t classPosition = -1;  // in the class data section
    bool array = false;
    std::vector<ArrayDimension> dimensions;  // one per rank of an array
    std::vector<HeapReference> references;
};

struct HeapRoot {
    uint64_t id = 0;
    uint8_t kind = 0;   // 0 other, 1 stack, 2 finalizer, 3 handle
    uint8_t flags = 0;  // 1 pinning, 2 weak, 4 interior, 8 reference counted
    // The function of a stack root; 0 and 0xFF000000 for a runtime function, both 0 otherwise.
    uint32_t metadataIndex = 0;
    uint32_t token = 0;
};

struct QueuedFinalizer {
    uint64_t id = 0;
    uint32_t flags = 0;
};

// A field that holds references: named by the declaring type's metadata index and field token;
// a field reached through a value embedded in an object also names the value's own field.
struct HeapField {
    int64_t inner = -1;  // position of the value's field record; -1 for none
    uint32_t metadataIndex = 0;
    uint32_t token = 0;
};

struct HeapCollection {
    uint64_t fileTime = 0;        // local time, 100 ns units since 1601
    std::vector<bool> collected;  // per generation
    uint8_t reason = 0;           // 1 induced, 0 other
    std::vector<HeapRange> heapsAtStart;
    std::vector<HeapRange> heapsAtEnd;
    bool finished = false;  // its 0x3102 was seen
    std::vector<MovedRange> moved;
    std::vector<SurvivingRange> surviving;
    std::vector<HeapObject> objects;
    std::vector<HeapRoot> roots;
    std::vector<QueuedFinalizer> finalizers;
    std::map<int64_t, HeapField> fields;  // by position in its 0x3110

    bool IsDump() const { return !objects.empty() || !roots.empty(); }
};

struct StackFrame {
    uint32_t metadataIndex = 0;
    uint32_t token = 0;
};

struct SampledAllocation {
    uint64_t id = 0;
    std::vector<StackFrame> stack;  // outermost frame first
};

struct HeapSnapshot {
    uint8_t idWidth = 0;  // 4 or 8; 0 when no section carried one
    std::vector<HeapCollection> collections;
    std::vector<SampledAllocation> allocations;
    // Heap sections an incomplete snapshot caught open; they are left out.
    size_t unfinishedSections = 0;
    // Sampled allocations of an incomplete snapshot whose stack section was still open: their
    // stacks are lost, so they are counted here instead of listed.
    size_t allocationsWithoutStack = 0;
};

// Reads and checks every heap section of a memory snapshot. Raises std::runtime_error whose text
// begins "Snapshot section N: " and names the section type and byte where a check fails: a cut
// short or overlong section, a width other than 4 or 8 or one that differs between sections, a
// count that disagrees with the records, an object id outside its section's range, a position
// that is no record start of the section it points into (object details, field records, inner
// field records, allocation stacks), a class position that is no class record, a details record
// of another object, a section outside its collection, an unknown section version.
HeapSnapshot ReadHeapSnapshot(const Snapshot& snapshot, const ClassTable& classes);

}  // namespace Controller
