// The measure command processor's control interface: the common operations plus the state
// notifications a manually controlled performance profiler sends.
#pragma once

#include "Bridge/IBridgeControl.h"

class IMeasureBridgeControl : public IBridgeControl {
public:
    virtual void Started() = 0;  // 0x90
    virtual void Stopped() = 0;  // 0x91
};
