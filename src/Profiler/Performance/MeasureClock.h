// Reading the timer of a measure kind: the current value, a given thread's value, the ticks per
// second written into every snapshot, and the stamp a switch of measuring is taken with. Readings
// that the OS refuses count as 1000, so a failure shows as a constant, never as garbage.
#pragma once

#include "Platform/Types.h"
#include "Profiler/Performance/MeasureKind.h"
#include "Profiler/Performance/MeasureTime.h"

class MeasureClock {
public:
    static constexpr UINT64 FailedReading = 1000;
    static constexpr UINT64 ThreadTimeFrequency = 10000000;
    // How long the time-stamp counter is watched to learn its frequency.
    static constexpr DWORD RdtscCalibrationMs = 1000;

    // The calling thread's reading; 1000 for an unknown kind. Cheap: hooks call it on every call.
    static UINT64 Now(DWORD kind) noexcept {
        switch (kind) {
            case MeasureKind::PerformanceCounter:
                return CounterNow();
            case MeasureKind::ThreadTime:
                return ThreadTimeNow(0);
            case MeasureKind::Rdtsc:
                return RdtscNow();
            default:
                return FailedReading;
        }
    }
    // The user time of the OS thread (the calling thread for 0) for thread time; 1000 for every
    // other kind, which has no per-thread reading.
    static UINT64 ThreadNow(DWORD kind, DWORD osThreadId) noexcept;
    // Ticks per second. The time-stamp counter's is measured: the calling thread runs at the
    // highest priority it may for one second between two readings.
    static UINT64 Frequency(DWORD kind);
    // The stamp of a switch: the counter for kinds 0 and 2 (shared by every record), the
    // placeholder 1000 for thread time (each record reads its own). Raises "Unknown measure".
    static MeasureTime Stamp(DWORD kind);
    // The reading the stamp of that kind is compared with; the same rule as Stamp.
    static UINT64 StampNow(DWORD kind);

private:
    static UINT64 CounterNow() noexcept;
    static UINT64 ThreadTimeNow(DWORD osThreadId) noexcept;
    static UINT64 RdtscNow() noexcept;
};
