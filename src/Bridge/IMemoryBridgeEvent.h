// The memory kind's event sink: the calls the memory command thread runs for queued controller
// commands, and its background-work poll.
#pragma once

#include "Bridge/IBridgeEvent.h"

class IMemoryBridgeEvent : public IBridgeEvent {
public:
    virtual bool NeedBackgroundWork() = 0;
    virtual void DoBackgroundWork() = 0;
    virtual void BridgeForceGC() = 0;
    virtual void BridgeDump() = 0;
};
