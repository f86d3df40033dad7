// The timer a performance profiler measures with, as the controller chose it in the settings.
// Kept as a plain u32 wherever it is stored: the controller may send any value, and operations
// that depend on it refuse an unknown one ("Unknown measure").
#pragma once

#include "Platform/Types.h"

namespace MeasureKind {

constexpr DWORD PerformanceCounter = 0;  // the OS high-resolution counter
constexpr DWORD ThreadTime = 1;          // the thread's user CPU time, in 100-ns units
constexpr DWORD Rdtsc = 2;               // the processor's time-stamp counter

}  // namespace MeasureKind
