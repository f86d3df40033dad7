// The test kinds' event sink: it answers the measure commands by logging them, and never has call
// trees to flush.
#pragma once

#include "Bridge/IMeasureBridgeEvent.h"

class TestProfilerEvent : public IMeasureBridgeEvent {
public:
    bool NeedFlush() override { return false; }
    void Flush() override;
    void BridgeStart() override;
    void BridgeStopDrop() override;
    void BridgeStopSave() override;
};
