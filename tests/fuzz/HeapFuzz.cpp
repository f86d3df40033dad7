// Feeds arbitrary bytes to the controller's heap reader and heap model as the sections of a memory
// snapshot. Nothing may crash, hang or read outside the input; the reader may only raise its own
// errors (std::runtime_error naming the section and byte).
//
// Input: one flags byte (bit 0: the snapshot is complete), then sections until the input ends,
// each a type byte (an index into HeapFuzzTypes, taken modulo its size), a version byte, a u16
// little-endian length and that many bytes (cut to what is left).
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "Controller/HeapModel.h"
#include "Controller/ProtocolConstants.h"
#include "HeapFuzzTypes.h"

using namespace Controller;

namespace {

// Touches every report, so that a bad index in the model shows up under the sanitizer.
void UseModel(const HeapModel& model) {
    volatile uint64_t sum = 0;
    for (const HeapModel::Dump& dump : model.Dumps()) {
        for (const auto& entry : dump.classes) {
            sum = sum + entry.count + entry.bytes + entry.name.size();
        }
        for (const auto& entry : dump.references) {
            sum = sum + entry.count + entry.field.size() + entry.toClass.size();
        }
        for (const auto& entry : dump.roots) {
            sum = sum + entry.count + entry.name.size();
        }
    }
    for (const auto& stack : model.Allocations()) {
        sum = sum + stack.count + stack.frames.size();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    Snapshot snapshot;
    snapshot.magic = MemorySnapshotMagic;
    snapshot.complete = (data[0] & 1) != 0;
    size_t at = 1;
    while (at + 4 <= size) {
        SnapshotSection section;
        section.type = HeapFuzzTypes[data[at] % HeapFuzzTypeCount];
        section.version = data[at + 1];
        section.closed = true;
        const size_t length = std::min<size_t>(size - at - 4, data[at + 2] | data[at + 3] << 8);
        section.bytes.assign(data + at + 4, data + at + 4 + length);
        snapshot.sections.push_back(std::move(section));
        at += 4 + length;
    }
    try {
        UseModel(HeapModel::Build(snapshot));
    } catch (const std::runtime_error&) {
    }
    return 0;
}
