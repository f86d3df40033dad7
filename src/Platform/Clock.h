// Sleep, tick count and the clocks: performance counter, time-stamp counter, thread CPU time,
// local time and file times.
#pragma once

#include "Platform/Types.h"

namespace Platform {

void Sleep(DWORD milliseconds);
// Sleep(0) yields the processor; Sleep(INFINITE) never returns.
// Milliseconds since an arbitrary start (the monotonic clock), wrapping at 2^32.
DWORD GetTickCount();

// Monotonic high-resolution counter (nanoseconds) and its ticks per second (1e9).
bool QueryPerformanceCounter(int64_t* value);
bool QueryPerformanceFrequency(int64_t* frequency);

// The processor's time-stamp counter (a monotonic stand-in where there is none).
uint64_t ReadTimeStampCounter();

// User-mode CPU time of the thread with the given OS thread id, in 100-ns units. Another thread's
// time has the kernel's clock-tick resolution (usually 10 ms); the calling thread's is finer.
bool GetThreadUserTime(DWORD osThreadId, uint64_t* time100ns);
// The same for the calling thread, without a file read: cheap enough for call hooks.
bool GetCurrentThreadUserTime(uint64_t* time100ns);

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// 100-ns intervals since 1601-01-01 (the platform's file time).
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

void GetLocalTime(SYSTEMTIME* time);
// Converts a calendar time to a file time without any time-zone shift; false for an invalid date
// (fields out of range, a day the month does not have, a year before 1601 or after 30827). The day
// of the week is not checked.
bool SystemTimeToFileTime(const SYSTEMTIME* time, FILETIME* fileTime);

}  // namespace Platform
