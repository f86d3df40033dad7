// Reads the header section of a performance snapshot: the frequency of the timer that every time
// in its call trees counts in.
#pragma once

#include <cstdint>

#include "Controller/SnapshotSection.h"

namespace Controller {

struct PerformanceHeader {
    uint64_t frequency = 0;  // timer ticks per second, never 0
};

// Raises SectionCursor::Error when the section is no version-0 header of exactly 8 bytes, or its
// frequency is 0 (no time could be turned into seconds).
PerformanceHeader ReadPerformanceHeaderSection(const SnapshotSection& section);

}  // namespace Controller
