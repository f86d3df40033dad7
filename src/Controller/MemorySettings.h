// The settings message the controller sends to a memory profiler at the end of the handshake.
#pragma once

#include <cstdint>

#include "Bridge/IWriteBridgeStream.h"

namespace Controller {

struct MemorySettings {
    // Open a snapshot at the end of the runtime's initialisation (manual control).
    bool snapshotAtStart = false;
    // Sample every n-th allocation with its stack; 0 switches allocation records off.
    uint32_t allocationsFactor = 0;
    // Stored by the profiler but not used by it.
    bool unusedFlag3 = false;
    // Record objects queued for finalisation.
    bool trackFinalizers = false;
    // Stored by the profiler but not used by it.
    bool unusedFlag5 = false;

    // Writes the message in wire order.
    void Write(IWriteBridgeStream& stream) const;
};

}  // namespace Controller
