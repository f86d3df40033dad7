#include "Profiler/Performance/MeasureClock.h"

#include <stdexcept>

#include "Platform/Clock.h"
#include "Platform/Process.h"
#include "Util/HostSleep.h"

namespace {

constexpr DWORD FailedFrequency = 1000;

// Raised to the highest priority it may get for the calibration, then back where it was.
class ScopedTimeCriticalPriority {
public:
    ScopedTimeCriticalPriority() : m_Saved(Platform::GetCurrentThreadPriority()) {
        m_Raised = Platform::SetCurrentThreadPriority(Platform::THREAD_PRIORITY_TIME_CRITICAL);
    }
    ~ScopedTimeCriticalPriority() {
        if (m_Raised) {
            Platform::SetCurrentThreadPriority(m_Saved);
        }
    }
    ScopedTimeCriticalPriority(const ScopedTimeCriticalPriority&) = delete;
    ScopedTimeCriticalPriority& operator=(const ScopedTimeCriticalPriority&) = delete;

private:
    int m_Saved;
    bool m_Raised = false;
};

}  // namespace

UINT64 MeasureClock::CounterNow() noexcept {
    int64_t value = 0;
    return Platform::QueryPerformanceCounter(&value) ? static_cast<UINT64>(value) : FailedReading;
}

UINT64 MeasureClock::ThreadTimeNow(DWORD osThreadId) noexcept {
    uint64_t value = 0;
    const bool read = osThreadId == 0 || osThreadId == Platform::GetCurrentThreadId()
                          ? Platform::GetCurrentThreadUserTime(&value)
                          : Platform::GetThreadUserTime(osThreadId, &value);
    return read ? value : FailedReading;
}

UINT64 MeasureClock::RdtscNow() noexcept {
    return Platform::ReadTimeStampCounter();
}

UINT64 MeasureClock::ThreadNow(DWORD kind, DWORD osThreadId) noexcept {
    return kind == MeasureKind::ThreadTime ? ThreadTimeNow(osThreadId) : FailedReading;
}

UINT64 MeasureClock::Frequency(DWORD kind) {
    switch (kind) {
        case MeasureKind::PerformanceCounter: {
            int64_t frequency = 0;
            return Platform::QueryPerformanceFrequency(&frequency) && frequency > 0
                       ? static_cast<UINT64>(frequency)
                       : FailedFrequency;
        }
        case MeasureKind::ThreadTime:
            return ThreadTimeFrequency;
        case MeasureKind::Rdtsc: {
            ScopedTimeCriticalPriority priority;
            const UINT64 first = RdtscNow();
            HostSleep(RdtscCalibrationMs);
            return RdtscNow() - first;
        }
        default:
            return FailedFrequency;
    }
}

MeasureTime MeasureClock::Stamp(DWORD kind) {
    MeasureTime time;
    time.m_Kind = kind;
    time.m_Stamp = StampNow(kind);
    time.m_CommonStamp = kind != MeasureKind::ThreadTime;
    return time;
}

UINT64 MeasureClock::StampNow(DWORD kind) {
    switch (kind) {
        case MeasureKind::PerformanceCounter:
            return CounterNow();
        case MeasureKind::ThreadTime:
            return FailedReading;
        case MeasureKind::Rdtsc:
            return RdtscNow();
        default:
            throw std::runtime_error("Unknown measure");
    }
}
