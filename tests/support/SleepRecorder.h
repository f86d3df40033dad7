// A sleep for the bridge's 100 ms pauses that notes each request and pauses only briefly, so that
// tests see the pauses without spending their time.
#pragma once

#include <vector>

#include "Platform/Types.h"

class SleepRecorder {
public:
    static void Sleep(DWORD milliseconds);
    // The requested durations since the last call, in order.
    static std::vector<DWORD> Take();
};
