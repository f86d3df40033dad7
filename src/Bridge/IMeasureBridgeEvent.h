// The performance kinds' event sink: the calls the measure command thread runs for queued
// controller commands, and its background-work poll (finished call trees to flush).
#pragma once

#include "Bridge/IBridgeEvent.h"

class IMeasureBridgeEvent : public IBridgeEvent {
public:
    virtual bool NeedFlush() = 0;
    virtual void Flush() = 0;
    virtual void BridgeStart() = 0;
    virtual void BridgeStopDrop() = 0;
    virtual void BridgeStopSave() = 0;
};
