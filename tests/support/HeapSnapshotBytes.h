// A memory snapshot's heap sections built by hand from the documented layouts
// (docs/heap-sections.md), for the controller's heap reader tests and the heap fuzz target's seeds.
#pragma once

#include <cstdint>

#include "Controller/ProtocolConstants.h"
#include "Controller/Snapshot.h"
#include "support/ClassRecordBytes.h"
#include "support/WireBytes.h"

inline WireBytes::Bytes HeapId(uint64_t value, unsigned width) {
    return width == 8 ? WireBytes::U64(value) : WireBytes::U32(static_cast<uint32_t>(value));
}

inline WireBytes::Bytes HeapI64(int64_t value) {
    return WireBytes::U64(static_cast<uint64_t>(value));
}

// One class record; a sampled allocation; one dumped collection holding a handle root, object A
// (class 0, referring to B through field record 0) and array B (rank 1, element 1 holding A).
// Sections in creation order: 0 0x200, 1 0x201, 2 0x3111, 3 0x3100, 4 0x3101, 5 0x3107, 6 0x3110,
// 7 0x3109, 8 0x3105, 9 0x3102, 10 0x3112.
inline Controller::Snapshot HandMadeHeapSnapshot(unsigned w) {
    using namespace WireBytes;
    auto id = [w](uint64_t value) { return HeapId(value, w); };
    const Bytes width{BYTE(w)}, plain{0}, array{1}, handlePinning{3, 1};
    const Bytes heaps = WireBytes::Concat({width, U32(1), plain, id(0x1000), id(0x2000)});
    const int64_t detailsB = 5 + w + 16;
    Controller::Snapshot snapshot;
    snapshot.magic = Controller::MemorySnapshotMagic;
    snapshot.complete = true;
    snapshot.sections = {
        {0x200, 0, true, ClassRecordBytes(1, 0x02000002, 0, -1)},
        {0x201, 0, true, WireBytes::Concat({U32(1), HeapI64(0)})},
        {0x3111, 0, true, WireBytes::Concat({width, U32(1), id(0x100), HeapI64(0)})},
        {0x3100, 0, true, WireBytes::Concat({U32(0x89ABCDEF), U32(0x01D9), Bytes{3, 1, 0, 0, 1}})},
        {0x3101, 0, true, heaps},
        {0x3107, 0, true, WireBytes::Concat({width, U32(1), id(0x1000), handlePinning, U32(0), U32(0)})},
        {0x3110, 0, true, WireBytes::Concat({HeapI64(-1), U32(1), U32(0x04000001)})},
        {0x3109, 0, true,
         WireBytes::Concat({width, U32(2), id(0x1000), U32(24), HeapI64(0), U32(0), id(0x1020), U32(40),
                 HeapI64(0), U32(1), U32(2), U32(0)})},
        {0x3105, 1, true,
         WireBytes::Concat({width, U32(2), id(0x1000), id(0x1020), id(0x1000), plain, HeapI64(5), U32(1),
                 id(0x1020), HeapI64(0), id(0x1020), array, HeapI64(detailsB), U32(1), id(0x1000),
                 U32(1), HeapI64(-1)})},
        {0x3102, 0, true, heaps},
        {0x3112, 0, true, WireBytes::Concat({Bytes{1}, U32(1), U32(0x06000001)})},
    };
    return snapshot;
}
