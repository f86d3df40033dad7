// One section of a received snapshot: its type and layout version as the profiler closed it, and
// its bytes.
#pragma once

#include <cstdint>
#include "Controller/SectionBytes.h"

namespace Controller {

struct SnapshotSection {
    uint16_t type = 0;
    uint16_t version = 0;
    // False for a section still open when its snapshot ended: type and version are then 0 and
    // the bytes are whatever had arrived.
    bool closed = false;
    SectionBytes bytes;
};

}  // namespace Controller
