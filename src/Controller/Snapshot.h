// A snapshot as the controller received it, over the bridge or as the device's index and data
// files: its identity, whether it is whole, and its sections in the order they were created.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller/SnapshotSection.h"
#include "Platform/Types.h"

namespace Controller {

enum class SnapshotOrigin : uint8_t {
    BridgeStream = 0,
    FileStorage = 1,
};

struct Snapshot {
    uint32_t magic = 0;  // the profiler kind's snapshot magic
    uint32_t index = 0;
    GUID sequence{};
    uint32_t sequenceNumber = 0;
    // True only when the profiler closed the snapshot and every section in it.
    bool complete = false;
    // The profiler abandoned the snapshot itself (never complete).
    bool aborted = false;
    SnapshotOrigin origin = SnapshotOrigin::BridgeStream;
    // Why an incomplete snapshot is incomplete; empty for a complete one.
    std::string note;
    std::vector<SnapshotSection> sections;

    // The first section of the type, or null.
    const SnapshotSection* FindSection(uint16_t type) const;
};

}  // namespace Controller
