// The memory command processor's control interface: the common operations plus the notification
// a manually controlled memory profiler sends when a command's work is done.
#pragma once

#include "Bridge/IBridgeControl.h"

class IMemoryBridgeControl : public IBridgeControl {
public:
    virtual void Done() = 0;  // 0xA0
};
