// The settings message the controller sends to a performance profiler (tracing or sampling) at the
// end of the handshake.
#pragma once

#include <cstdint>
#include <vector>

#include "Bridge/IWriteBridgeStream.h"
#include "Controller/InjectFilterInfo.h"
#include "Platform/Types.h"

namespace Controller {

struct PerformanceSettings {
    // Open a snapshot and measure from the end of the runtime's initialisation (manual control).
    bool startAtInitialization = false;
    // When false the tracing kind asks the runtime not to inline, so every call is seen.
    bool allowInlining = true;
    // Timer source: 0 performance counter, 1 thread time, 2 time-stamp counter.
    uint8_t measureKind = 0;
    // Merge the records of ended threads by thread name.
    bool mergeThreadsByName = false;
    // Precise rather than fast call hooks.
    bool precision = false;

    // The filter block: carried to the profiler, which stores it.
    uint32_t filterFlags = 0;
    WString filterText;
    std::vector<InjectFilterInfo> includeFilters;
    std::vector<InjectFilterInfo> excludeFilters;

    // Writes the message in wire order.
    void Write(IWriteBridgeStream& stream) const;
};

}  // namespace Controller
