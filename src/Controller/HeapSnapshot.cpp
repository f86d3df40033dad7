#include "Controller/HeapSnapshot.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SectionCursor.h"
#include "Controller/SectionTypes.h"

namespace Controller {

namespace {

constexpr uint16_t ObjectsVersion = 1;
constexpr uint8_t HighestGeneration = 4;
constexpr uint8_t HighestRootKind = 3;
constexpr size_t FieldRecordSize = 16;

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

bool IsHeapSection(uint16_t type) {
    return type >= CollectionStartSectionType && type <= AllocationStacksSectionType &&
           type != 0x3108;
}

// A position read from one section that must be a record start of another, checked once both
// are read.
struct PendingPosition {
    size_t section;  // snapshot section holding the field
    uint16_t type;   // its type
    uint64_t byte;   // where the field lies
    int64_t position;
};

struct Details {
    int64_t position = 0;  // of its record in 0x3109
    uint64_t id = 0;
    uint32_t size = 0;
    int64_t classPosition = -1;
    std::vector<ArrayDimension> dimensions;
    bool used = false;
};

class HeapReader {
public:
    HeapReader(const Snapshot& snapshot, const ClassTable& classes)
        : m_Snapshot(snapshot), m_Classes(classes) {}

    HeapSnapshot Read() {
        const std::vector<SnapshotSection>& sections = m_Snapshot.sections;
        for (m_Index = 0; m_Index < sections.size(); ++m_Index) {
            const SnapshotSection& section = sections[m_Index];
            if (!section.closed) {
                if (m_Snapshot.complete) {
                    Fail("the section was never closed");
                }
                ++m_Result.unfinishedSections;
                continue;
            }
            if (!IsHeapSection(section.type)) {
                continue;
            }
            try {
                ReadSection(section);
            } catch (const SectionCursor::Error& e) {
                Fail(e.what());
            }
        }
        if (m_pOpen != nullptr && m_Snapshot.complete) {
            Fail("the snapshot ends inside collection " +
                 std::to_string(m_Result.collections.size() - 1) + ", before its 0x3102");
        }
        if (m_pOpen != nullptr) {
            EndCollection();
        }
        ResolveAllocations();
        return std::move(m_Result);
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("Snapshot section " + std::to_string(m_Index) + ": " + what);
    }
    [[noreturn]] void FailAt(size_t section, uint16_t type, uint64_t byte,
                             const std::string& what) {
        m_Index = section;
        try {
            SectionCursor(m_NoBytes, type).FailAt(byte, what);
        } catch (const SectionCursor::Error& e) {
            Fail(e.what());
        }
    }

    void ReadSection(const SnapshotSection& section) {
        const uint16_t expectedVersion = section.type == ObjectsSectionType ? ObjectsVersion : 0;
        if (section.version != expectedVersion) {
            Fail("section " + Hex(section.type) + " has version " +
                 std::to_string(section.version) + "; this reader knows version " +
                 std::to_string(expectedVersion));
        }
        SectionCursor cursor(section.bytes, section.type);
        switch (section.type) {
            case CollectionStartSectionType:
                ReadCollectionStart(cursor);
                break;
            case HeapsAtStartSectionType:
            case HeapsAtEndSectionType:
                ReadHeaps(cursor, section.type);
                break;
            case MovedRangesSectionType:
                ReadMoved(cursor);
                break;
            case SurvivingRangesSectionType:
                ReadSurviving(cursor);
                break;
            case ObjectsSectionType:
                ReadObjects(cursor);
                break;
            case FinalizerQueueSectionType:
                ReadFinalizers(cursor);
                break;
            case RootsSectionType:
                ReadRoots(cursor);
                break;
            case ObjectDetailsSectionType:
                ReadDetails(cursor);
                break;
            case FieldRecordsSectionType:
                ReadFields(cursor);
                break;
            case SampledAllocationsSectionType:
                ReadAllocations(cursor);
                break;
            case AllocationStacksSectionType:
                ReadStacks(cursor);
                break;
            default:
                cursor.Fail("section type " + Hex(section.type) + " is not a heap section");
        }
        if (cursor.GetRemaining() != 0) {
            cursor.Fail(std::to_string(cursor.GetRemaining()) + " bytes after the last record");
        }
    }

    // ---- Widths, ids, counts

    void ReadWidth(SectionCursor& cursor) {
        const uint64_t at = cursor.GetPosition();
        const uint8_t width = cursor.ReadU8();
        if (width != 4 && width != 8) {
            cursor.FailAt(at, "id width " + std::to_string(width) + " is neither 4 nor 8");
        }
        if (m_Result.idWidth != 0 && width != m_Result.idWidth) {
            cursor.FailAt(at, "id width " + std::to_string(width) + " differs from the width " +
                                  std::to_string(m_Result.idWidth) + " of earlier sections");
        }
        m_Result.idWidth = width;
    }
    uint64_t ReadId(SectionCursor& cursor) { return cursor.ReadUnsigned(m_Result.idWidth); }
    // A counted header: the width and the record count.
    uint32_t ReadCountedHeader(SectionCursor& cursor) {
        ReadWidth(cursor);
        return cursor.ReadU32();
    }
    // Refuses a count whose records cannot fit in what is left, before anything is reserved.
    void CheckCount(SectionCursor& cursor, uint32_t count, uint64_t smallestRecord) {
        if (count > cursor.GetRemaining() / smallestRecord) {
            cursor.Fail("record count " + std::to_string(count) + " cannot fit in the " +
                        std::to_string(cursor.GetRemaining()) + " bytes left");
        }
    }
    int64_t ReadPosition(SectionCursor& cursor) {
        const uint64_t at = cursor.GetPosition();
        const int64_t position = static_cast<int64_t>(cursor.ReadU64());
        if (position < -1) {
            cursor.FailAt(at, "position " + std::to_string(position) + " is negative");
        }
        return position;
    }

    // ---- Collections

    HeapCollection& Open(SectionCursor& cursor) {
        if (m_pOpen == nullptr) {
            cursor.FailAt(0, "the section lies outside a collection (no 0x3100 before it)");
        }
        return *m_pOpen;
    }

    void ReadCollectionStart(SectionCursor& cursor) {
        if (m_pOpen != nullptr) {
            cursor.FailAt(0, "collection " + std::to_string(m_Result.collections.size() - 1) +
                                 " has no end (0x3102) before the next begins");
        }
        HeapCollection collection;
        const uint64_t low = cursor.ReadU32();
        collection.fileTime = cursor.ReadU32() * (uint64_t{1} << 32) + low;
        const uint8_t count = cursor.ReadU8();
        for (uint8_t i = 0; i < count; ++i) {
            const uint64_t at = cursor.GetPosition();
            const uint8_t flag = cursor.ReadU8();
            if (flag > 1) {
                cursor.FailAt(at, "collected flag " + std::to_string(flag) + " is neither 0 nor 1");
            }
            collection.collected.push_back(flag == 1);
        }
        collection.reason = cursor.ReadU8();
        m_Result.collections.push_back(std::move(collection));
        m_pOpen = &m_Result.collections.back();
        m_HeapsAtStartSeen = false;
    }

    std::vector<HeapRange> ReadRanges(SectionCursor& cursor) {
        ReadWidth(cursor);
        const uint32_t count = cursor.ReadU32();
        CheckCount(cursor, count, 1 + 2 * uint64_t{m_Result.idWidth});
        std::vector<HeapRange> ranges(count);
        for (HeapRange& range : ranges) {
            const uint64_t at = cursor.GetPosition();
            range.generation = cursor.ReadU8();
            if (range.generation > HighestGeneration) {
                cursor.FailAt(at, "generation " + std::to_string(range.generation) + " unknown");
            }
            range.start = ReadId(cursor);
            range.end = ReadId(cursor);
            if (range.end < range.start) {
                cursor.FailAt(at, "range ends at " + Hex(range.end) + " before its start " +
                                      Hex(range.start));
            }
        }
        return ranges;
    }

    void ReadHeaps(SectionCursor& cursor, uint16_t type) {
        HeapCollection& collection = Open(cursor);
        if (type == HeapsAtStartSectionType) {
            if (m_HeapsAtStartSeen) {
                cursor.FailAt(0, "a second 0x3101 in one collection");
            }
            m_HeapsAtStartSeen = true;
            collection.heapsAtStart = ReadRanges(cursor);
            return;
        }
        collection.heapsAtEnd = ReadRanges(cursor);
        collection.finished = true;
        EndCollection();
    }

    void ReadMoved(SectionCursor& cursor) {
        HeapCollection& collection = Open(cursor);
        const uint32_t count = ReadCountedHeader(cursor);
        CheckCount(cursor, count, 3 * uint64_t{m_Result.idWidth});
        for (uint32_t i = 0; i < count; ++i) {
            MovedRange range;
            range.newStart = ReadId(cursor);
            range.newEnd = ReadId(cursor);
            range.oldStart = ReadId(cursor);
            collection.moved.push_back(range);
        }
    }

    void ReadSurviving(SectionCursor& cursor) {
        HeapCollection& collection = Open(cursor);
        const uint32_t count = ReadCountedHeader(cursor);
        CheckCount(cursor, count, 2 * uint64_t{m_Result.idWidth});
        for (uint32_t i = 0; i < count; ++i) {
            SurvivingRange range;
            range.start = ReadId(cursor);
            range.end = ReadId(cursor);
            collection.surviving.push_back(range);
        }
    }

    void ReadFinalizers(SectionCursor& cursor) {
        HeapCollection& collection = Open(cursor);
        const uint32_t count = ReadCountedHeader(cursor);
        CheckCount(cursor, count, m_Result.idWidth + 4);
        for (uint32_t i = 0; i < count; ++i) {
            QueuedFinalizer entry;
            entry.id = ReadId(cursor);
            entry.flags = cursor.ReadU32();
            collection.finalizers.push_back(entry);
        }
    }

    void ReadRoots(SectionCursor& cursor) {
        HeapCollection& collection = Open(cursor);
        const uint32_t count = ReadCountedHeader(cursor);
        CheckCount(cursor, count, m_Result.idWidth + 10);
        for (uint32_t i = 0; i < count; ++i) {
            HeapRoot root;
            root.id = ReadId(cursor);
            const uint64_t at = cursor.GetPosition();
            root.kind = cursor.ReadU8();
            if (root.kind > HighestRootKind) {
                cursor.FailAt(at, "root kind " + std::to_string(root.kind) + " unknown");
            }
            root.flags = cursor.ReadU8();
            root.metadataIndex = cursor.ReadU32();
            root.token = cursor.ReadU32();
            collection.roots.push_back(root);
        }
    }

    // ---- Objects, details, fields

    void ReadObjects(SectionCursor& cursor) {
        HeapCollection& collection = Open(cursor);
        if (m_ObjectsSeen) {
            cursor.FailAt(0, "a second 0x3105 in one collection");
        }
        m_ObjectsSeen = true;
        const uint32_t count = ReadCountedHeader(cursor);
        const uint64_t lowest = ReadId(cursor);
        const uint64_t highest = ReadId(cursor);
        CheckCount(cursor, count, m_Result.idWidth + 13);
        collection.objects.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            HeapObject object;
            const uint64_t at = cursor.GetPosition();
            object.id = ReadId(cursor);
            if (object.id < lowest || object.id > highest) {
                cursor.FailAt(at, "object id " + Hex(object.id) + " lies outside the range " +
                                      Hex(lowest) + " to " + Hex(highest) + " of the header");
            }
            const uint64_t flagAt = cursor.GetPosition();
            const uint8_t array = cursor.ReadU8();
            if (array > 1) {
                cursor.FailAt(flagAt,
                              "array flag " + std::to_string(array) + " is neither 0 nor 1");
            }
            object.array = array == 1;
            const uint64_t detailsAt = cursor.GetPosition();
            m_DetailsPositions.push_back(
                {m_Index, ObjectsSectionType, detailsAt, ReadPosition(cursor)});
            const uint32_t references = cursor.ReadU32();
            const uint64_t referenceSize = m_Result.idWidth + (object.array ? 12 : 8);
            CheckCount(cursor, references, referenceSize);
            object.references.resize(references);
            for (HeapReference& reference : object.references) {
                reference.target = ReadId(cursor);
                if (object.array) {
                    reference.element = cursor.ReadU32();
                }
                const uint64_t fieldAt = cursor.GetPosition();
                reference.field = ReadPosition(cursor);
                // Each position is checked once, where it is first met.
                if (reference.field != -1 && reference.field != m_LastField) {
                    m_LastField = reference.field;
                    if (m_FieldPositionsMet.insert(reference.field).second) {
                        m_FieldPositions.push_back(
                            {m_Index, ObjectsSectionType, fieldAt, reference.field});
                    }
                }
            }
            collection.objects.push_back(std::move(object));
        }
    }

    void ReadDetails(SectionCursor& cursor) {
        Open(cursor);
        if (m_DetailsSeen) {
            cursor.FailAt(0, "a second 0x3109 in one collection");
        }
        m_DetailsSeen = true;
        const uint32_t count = ReadCountedHeader(cursor);
        CheckCount(cursor, count, m_Result.idWidth + 16);
        for (uint32_t i = 0; i < count; ++i) {
            Details details;
            details.position = static_cast<int64_t>(cursor.GetPosition());
            details.id = ReadId(cursor);
            details.size = cursor.ReadU32();
            const uint64_t classAt = cursor.GetPosition();
            details.classPosition = ReadPosition(cursor);
            if (details.classPosition != -1 && m_Classes.Find(details.classPosition) == nullptr) {
                cursor.FailAt(classAt, "class position " + std::to_string(details.classPosition) +
                                           " is no record of the class data section 0x200");
            }
            const uint32_t rank = cursor.ReadU32();
            CheckCount(cursor, rank, 8);
            for (uint32_t r = 0; r < rank; ++r) {
                ArrayDimension dimension;
                dimension.length = cursor.ReadU32();
                dimension.lowerBound = static_cast<int32_t>(cursor.ReadU32());
                details.dimensions.push_back(dimension);
            }
            m_Details.push_back(std::move(details));
        }
    }

    void ReadFields(SectionCursor& cursor) {
        HeapCollection& collection = Open(cursor);
        if (m_FieldsSeen) {
            cursor.FailAt(0, "a second 0x3110 in one collection");
        }
        m_FieldsSeen = true;
        if (cursor.GetSize() % FieldRecordSize != 0) {
            cursor.FailAt(cursor.GetSize() - cursor.GetSize() % FieldRecordSize,
                          "field records are 16 bytes each; " +
                              std::to_string(cursor.GetSize() % FieldRecordSize) + " are left");
        }
        while (cursor.GetRemaining() > 0) {
            const int64_t position = static_cast<int64_t>(cursor.GetPosition());
            HeapField field;
            field.inner = ReadPosition(cursor);
            field.metadataIndex = cursor.ReadU32();
            field.token = cursor.ReadU32();
            // An inner record is written before every record that names it.
            if (field.inner != -1 &&
                (field.inner >= position || field.inner % int64_t{FieldRecordSize} != 0)) {
                cursor.FailAt(position, "inner field position " + std::to_string(field.inner) +
                                            " is no earlier field record");
            }
            collection.fields.emplace(position, field);
        }
    }

    // Checks the positions between the collection's sections and gives each object its details.
    void EndCollection() {
        HeapCollection& collection = *m_pOpen;
        for (const PendingPosition& pending : m_FieldPositions) {
            if (collection.fields.count(pending.position) == 0) {
                FailAt(pending.section, pending.type, pending.byte,
                       "field position " + std::to_string(pending.position) +
                           " is no record of the collection's field section 0x3110");
            }
        }
        if (collection.objects.size() != m_Details.size()) {
            FailAt(m_Index, HeapsAtEndSectionType, 0,
                   "the collection holds " + std::to_string(collection.objects.size()) +
                       " objects but " + std::to_string(m_Details.size()) + " details records");
        }
        for (size_t i = 0; i < collection.objects.size(); ++i) {
            HeapObject& object = collection.objects[i];
            const PendingPosition& pending = m_DetailsPositions[i];
            // Records lie in the order of their positions.
            const auto found =
                std::lower_bound(m_Details.begin(), m_Details.end(), pending.position,
                                 [](const Details& details, int64_t position) {
                                     return details.position < position;
                                 });
            const bool missing = found == m_Details.end() || found->position != pending.position;
            if (missing || found->used || found->id != object.id) {
                FailAt(pending.section, pending.type, pending.byte,
                       "details position " + std::to_string(pending.position) +
                           (missing       ? " is no record of section 0x3109"
                            : found->used ? " was given to another object already"
                                          : " holds the details of object " + Hex(found->id)));
            }
            Details& details = *found;
            details.used = true;
            if (object.array != !details.dimensions.empty()) {
                FailAt(pending.section, pending.type, pending.byte,
                       "the object's array flag disagrees with the rank " +
                           std::to_string(details.dimensions.size()) + " of its details");
            }
            object.size = details.size;
            object.classPosition = details.classPosition;
            object.dimensions = std::move(details.dimensions);
        }
        m_pOpen = nullptr;
        m_ObjectsSeen = m_DetailsSeen = m_FieldsSeen = false;
        m_Details.clear();
        m_DetailsPositions.clear();
        m_FieldPositions.clear();
        m_FieldPositionsMet.clear();
        m_LastField = -1;
    }

    // ---- Sampled allocations

    void ReadAllocations(SectionCursor& cursor) {
        const uint32_t count = ReadCountedHeader(cursor);
        CheckCount(cursor, count, m_Result.idWidth + 8);
        for (uint32_t i = 0; i < count; ++i) {
            SampledAllocation allocation;
            allocation.id = ReadId(cursor);
            const uint64_t at = cursor.GetPosition();
            m_StackPositions.push_back(
                {m_Index, SampledAllocationsSectionType, at, ReadPosition(cursor)});
            m_Result.allocations.push_back(std::move(allocation));
        }
    }

    void ReadStacks(SectionCursor& cursor) {
        if (m_StacksSeen) {
            cursor.FailAt(0, "a second 0x3112 in one snapshot");
        }
        m_StacksSeen = true;
        while (cursor.GetRemaining() > 0) {
            const int64_t position = static_cast<int64_t>(cursor.GetPosition());
            uint32_t count = 0;
            try {
                count = ReadCounter(cursor);
            } catch (const SectionCursor::Error&) {
                throw;
            } catch (const std::exception& e) {
                cursor.FailAt(static_cast<uint64_t>(position), e.what());
            }
            CheckCount(cursor, count, 8);
            std::vector<StackFrame> stack(count);
            for (StackFrame& frame : stack) {
                frame.metadataIndex = cursor.ReadU32();
                frame.token = cursor.ReadU32();
            }
            m_Stacks.emplace(position, std::move(stack));
        }
    }

    void ResolveAllocations() {
        // The stack section closes with the snapshot: one dropped before that holds the
        // allocation records without the stacks they point to.
        if (!m_Snapshot.complete && !m_StacksSeen) {
            m_Result.allocationsWithoutStack = m_Result.allocations.size();
            m_Result.allocations.clear();
            return;
        }
        for (size_t i = 0; i < m_StackPositions.size(); ++i) {
            const PendingPosition& pending = m_StackPositions[i];
            auto found = m_Stacks.find(pending.position);
            if (found == m_Stacks.end()) {
                FailAt(pending.section, pending.type, pending.byte,
                       "stack position " + std::to_string(pending.position) +
                           " is no record of the allocation stack section 0x3112");
            }
            m_Result.allocations[i].stack = found->second;
        }
    }

    const Snapshot& m_Snapshot;
    const ClassTable& m_Classes;
    HeapSnapshot m_Result;
    size_t m_Index = 0;
    const std::vector<BYTE> m_NoBytes;  // a cursor's bytes when a check fails after the read

    // The collection whose 0x3102 has not come yet, and what its sections left to check.
    HeapCollection* m_pOpen = nullptr;
    bool m_HeapsAtStartSeen = false;
    bool m_ObjectsSeen = false;
    bool m_DetailsSeen = false;
    bool m_FieldsSeen = false;
    std::vector<Details> m_Details;
    std::vector<PendingPosition> m_DetailsPositions;  // one per object, in order
    std::vector<PendingPosition> m_FieldPositions;
    std::unordered_set<int64_t> m_FieldPositionsMet;
    int64_t m_LastField = -1;

    bool m_StacksSeen = false;
    std::map<int64_t, std::vector<StackFrame>> m_Stacks;
    std::vector<PendingPosition> m_StackPositions;  // one per allocation, in order
};

}  // namespace

HeapSnapshot ReadHeapSnapshot(const Snapshot& snapshot, const ClassTable& classes) {
    if (snapshot.magic != MemorySnapshotMagic) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", snapshot.magic);
        throw std::runtime_error(std::string("Snapshot magic ") + text +
                                 " is not a memory snapshot's");
    }
    return HeapReader(snapshot, classes).Read();
}

}  // namespace Controller
