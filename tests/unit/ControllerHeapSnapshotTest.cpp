// The controller's heap reader and heap model against memory snapshots built by hand from the
// documented section layouts, at both id widths, and the check that names each damage.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Controller/HeapModel.h"
#include "Controller/HeapSnapshot.h"
#include "Controller/ProtocolConstants.h"
#include "support/ErrorText.h"
#include "support/HeapSnapshotBytes.h"
#include "support/WireBytes.h"

using namespace Controller;
using namespace WireBytes;

namespace {

HeapSnapshot Read(const Snapshot& snapshot) {
    const ClassTable classes = ClassTable::Read(snapshot.sections[0], snapshot.sections[1]);
    return ReadHeapSnapshot(snapshot, classes);
}

TEST(ControllerHeapSnapshot, ReadsEverySectionAtBothIdWidths) {
    for (unsigned w : {4u, 8u}) {
        SCOPED_TRACE(w);
        const HeapSnapshot heap = Read(HandMadeHeapSnapshot(w));
        EXPECT_EQ(heap.idWidth, w);
        ASSERT_EQ(heap.collections.size(), 1u);
        const HeapCollection& collection = heap.collections[0];
        EXPECT_EQ(collection.fileTime, 0x000001D989ABCDEFull);
        EXPECT_EQ(collection.collected, (std::vector<bool>{true, false, false}));
        EXPECT_EQ(collection.reason, 1);
        EXPECT_TRUE(collection.finished);
        ASSERT_EQ(collection.heapsAtEnd.size(), 1u);
        EXPECT_EQ(collection.heapsAtEnd[0].end, 0x2000u);
        ASSERT_EQ(collection.objects.size(), 2u);
        const HeapObject& a = collection.objects[0];
        const HeapObject& b = collection.objects[1];
        EXPECT_EQ(a.size, 24u);
        EXPECT_FALSE(a.array);
        ASSERT_EQ(a.references.size(), 1u);
        EXPECT_EQ(a.references[0].target, 0x1020u);
        EXPECT_EQ(a.references[0].field, 0);
        EXPECT_EQ(a.references[0].element, HeapReference::NoElement);
        EXPECT_TRUE(b.array);
        ASSERT_EQ(b.dimensions.size(), 1u);
        EXPECT_EQ(b.dimensions[0].length, 2u);
        EXPECT_EQ(b.references[0].element, 1u);
        EXPECT_EQ(b.references[0].field, -1);
        ASSERT_EQ(collection.roots.size(), 1u);
        EXPECT_EQ(collection.roots[0].kind, 3);
        EXPECT_EQ(collection.fields.at(0).token, 0x04000001u);
        ASSERT_EQ(heap.allocations.size(), 1u);
        EXPECT_EQ(heap.allocations[0].id, 0x100u);
        ASSERT_EQ(heap.allocations[0].stack.size(), 1u);
        EXPECT_EQ(heap.allocations[0].stack[0].token, 0x06000001u);
    }
}

// The memory kind drops the snapshot it keeps open between dumps, its stack section still open:
// the collections stay readable, the allocations are counted without stacks.
TEST(ControllerHeapSnapshot, ADroppedSnapshotKeepsItsCollectionsAndCountsStacklessAllocations) {
    Snapshot snapshot = HandMadeHeapSnapshot(4);
    snapshot.sections[10].closed = false;
    EXPECT_NE(ErrorText([&] { Read(snapshot); }), "");
    snapshot.complete = false;
    snapshot.aborted = true;
    const HeapSnapshot heap = Read(snapshot);
    EXPECT_EQ(heap.collections.size(), 1u);
    EXPECT_EQ(heap.unfinishedSections, 1u);
    EXPECT_TRUE(heap.allocations.empty());
    EXPECT_EQ(heap.allocationsWithoutStack, 1u);
}

// Writes `bytes` over section `index` at `offset`, appending where it runs past the end.
void Put(Snapshot& s, size_t index, size_t offset, const Bytes& bytes) {
    Bytes& target = s.sections[index].bytes.Vector();
    target.resize(std::max(target.size(), offset + bytes.size()));
    std::copy(bytes.begin(), bytes.end(), target.begin() + static_cast<ptrdiff_t>(offset));
}

TEST(ControllerHeapSnapshot, EachDamageIsNamedBySectionAndByte) {
    struct Row {
        std::function<void(Snapshot&)> damage;
        std::string text;
    };
    const Row rows[] = {
        {[](Snapshot& s) { Put(s, 8, 0, {5}); },
         "Snapshot section 8: Section 0x3105 at byte 0: id width 5 is neither 4 nor 8"},
        {[](Snapshot& s) { Put(s, 4, 0, {8}); },
         "Snapshot section 4: Section 0x3101 at byte 0: id width 8 differs from the width 4 of "
         "earlier sections"},
        {[](Snapshot& s) { Put(s, 8, 5, U32(0x1001)); },
         "Snapshot section 8: Section 0x3105 at byte 13: object id 0x1000 lies outside the range "
         "0x1001 to 0x1020 of the header"},
        {[](Snapshot& s) { Put(s, 8, 18, HeapI64(6)); },
         "Snapshot section 8: Section 0x3105 at byte 18: details position 6 is no record of "
         "section 0x3109"},
        {[](Snapshot& s) { Put(s, 8, 18, HeapI64(25)); },
         "Snapshot section 8: Section 0x3105 at byte 18: details position 25 holds the details of "
         "object 0x1020"},
        {[](Snapshot& s) { Put(s, 8, 34, HeapI64(16)); },
         "Snapshot section 8: Section 0x3105 at byte 34: field position 16 is no record of the "
         "collection's field section 0x3110"},
        {[](Snapshot& s) { Put(s, 7, 13, HeapI64(22)); },
         "Snapshot section 7: Section 0x3109 at byte 13: class position 22 is no record of the "
         "class data section 0x200"},
        {[](Snapshot& s) { Put(s, 2, 9, HeapI64(3)); },
         "Snapshot section 2: Section 0x3111 at byte 9: stack position 3 is no record of the "
         "allocation stack section 0x3112"},
        {[](Snapshot& s) {
             Put(s, 6, 16, Concat({HeapI64(16), U32(1), U32(0x04000002)}));
         },
         "Snapshot section 6: Section 0x3110 at byte 16: inner field position 16 is no earlier "
         "field record"},
        {[](Snapshot& s) { Put(s, 5, 1, U32(2)); },
         "Snapshot section 5: Section 0x3107 at byte 5: record count 2 cannot fit in the 14 bytes "
         "left"},
        {[](Snapshot& s) { Put(s, 5, 19, {0}); },
         "Snapshot section 5: Section 0x3107 at byte 19: 1 bytes after the last record"},
        {[](Snapshot& s) { Put(s, 3, 9, {2}); },
         "Snapshot section 3: Section 0x3100 at byte 9: collected flag 2 is neither 0 nor 1"},
        {[](Snapshot& s) { s.sections[8].version = 0; },
         "Snapshot section 8: section 0x3105 has version 0; this reader knows version 1"},
        {[](Snapshot& s) { s.sections.erase(s.sections.begin() + 3); },
         "Snapshot section 3: Section 0x3101 at byte 0: the section lies outside a collection "
         "(no 0x3100 before it)"},
        {[](Snapshot& s) { s.sections.erase(s.sections.begin() + 9); },
         "Snapshot section 10: the snapshot ends inside collection 0, before its 0x3102"},
    };
    for (const Row& row : rows) {
        Snapshot snapshot = HandMadeHeapSnapshot(4);
        row.damage(snapshot);
        EXPECT_EQ(ErrorText([&] { Read(snapshot); }), row.text);
    }
}

TEST(ControllerHeapModel, CountsClassesReferencesRootsAndAllocationStacks) {
    Snapshot snapshot = HandMadeHeapSnapshot(sizeof(void*));
    // A second collection that was no dump.
    snapshot.sections.push_back(snapshot.sections[3]);
    snapshot.sections.push_back(snapshot.sections[4]);
    snapshot.sections.push_back(snapshot.sections[9]);
    const HeapModel model = HeapModel::Build(snapshot);

    ASSERT_EQ(model.Collections().size(), 2u);
    EXPECT_TRUE(model.Collections()[0].dump);
    EXPECT_FALSE(model.Collections()[1].dump);
    EXPECT_TRUE(model.Collections()[1].induced);
    ASSERT_EQ(model.Dumps().size(), 1u);
    const HeapModel::Dump& dump = model.Dumps()[0];
    const std::string node = "[no metadata 1] 0x02000002";
    ASSERT_EQ(dump.classes.size(), 1u);
    EXPECT_EQ(dump.classes[0].name, node);
    EXPECT_EQ(dump.classes[0].count, 2u);
    EXPECT_EQ(dump.classes[0].bytes, 64u);
    ASSERT_EQ(dump.references.size(), 2u);
    EXPECT_EQ(dump.references[0].field, HeapModel::ElementField);
    EXPECT_EQ(dump.references[1].field, "[no metadata 1] 0x04000001");
    EXPECT_EQ(dump.references[1].toClass, node);
    ASSERT_EQ(dump.roots.size(), 1u);
    EXPECT_EQ(dump.roots[0].name, "handle (pinning)");
    ASSERT_EQ(model.Allocations().size(), 1u);
    EXPECT_EQ(model.Allocations()[0].frames,
              (std::vector<std::string>{"[no metadata 1] 0x06000001"}));
    EXPECT_EQ(HeapModel::RootKindName(1, 6), "stack (weak, interior)");

    // The first object's reference without its field record, the array's to no object dumped
    // (where they lie in the objects section depends on the id width).
    const size_t w = sizeof(void*);
    Put(snapshot, 8, 18 + 4 * w, HeapI64(-1));
    Put(snapshot, 8, 39 + 5 * w, HeapId(0x1FFF, w));
    const HeapModel::Dump changed = HeapModel::Build(snapshot).Dumps()[0];
    std::vector<std::string> references;
    for (const HeapModel::FieldReferences& reference : changed.references) {
        references.push_back(reference.field + " -> " + reference.toClass);
    }
    EXPECT_THAT(references,
                testing::UnorderedElementsAre(
                    std::string(HeapModel::NoField) + " -> " + node,
                    std::string(HeapModel::ElementField) + " -> " + HeapModel::UnknownObject));
    EXPECT_EQ(HeapModel::RootKindName(9, 0x31), "kind 9 (pinning, 0x30)");
}

}  // namespace
