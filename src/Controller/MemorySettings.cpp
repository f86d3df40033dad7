#include "Controller/MemorySettings.h"

#include "Bridge/BridgeStreamHelpers.h"

namespace Controller {

void MemorySettings::Write(IWriteBridgeStream& stream) const {
    WriteBool(stream, snapshotAtStart);
    WriteU32(stream, allocationsFactor);
    WriteBool(stream, unusedFlag3);
    WriteBool(stream, trackFinalizers);
    WriteBool(stream, unusedFlag5);
}

}  // namespace Controller
