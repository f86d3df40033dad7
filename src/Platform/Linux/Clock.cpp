#include "Platform/Clock.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Platform/Process.h"

#if defined(__i386__) || defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace Platform {

namespace {

constexpr int64_t NanosecondsPerSecond = 1000000000;
constexpr uint64_t HundredNsPerSecond = 10000000;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t DaysFrom1601To1970 = 134774;

int64_t ReadClock(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * NanosecondsPerSecond + now.tv_nsec;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (the usual era-based conversion).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

bool ReadWholeSmallFile(const char* path, char* buffer, size_t capacity, size_t* length) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t total = 0;
    while (total + 1 < capacity) {
        const ssize_t got = read(fd, buffer + total, capacity - 1 - total);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        total += static_cast<size_t>(got);
    }
    close(fd);
    buffer[total] = 0;
    *length = total;
    return total > 0;
}

}  // namespace

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

DWORD GetTickCount() {
    return static_cast<DWORD>(ReadClock(CLOCK_MONOTONIC) / 1000000);
}

bool QueryPerformanceCounter(int64_t* value) {
    if (value == nullptr) {
        return false;
    }
    *value = ReadClock(CLOCK_MONOTONIC);
    return true;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    if (frequency == nullptr) {
        return false;
    }
    *frequency = NanosecondsPerSecond;
    return true;
}

uint64_t ReadTimeStampCounter() {
#if defined(__i386__) || defined(__x86_64__)
    return __rdtsc();
#else
    return static_cast<uint64_t>(ReadClock(CLOCK_MONOTONIC_RAW));
#endif
}

bool GetCurrentThreadUserTime(uint64_t* time100ns) {
    rusage usage{};
    if (time100ns == nullptr || getrusage(RUSAGE_THREAD, &usage) != 0) {
        return false;
    }
    *time100ns = static_cast<uint64_t>(usage.ru_utime.tv_sec) * HundredNsPerSecond +
                 static_cast<uint64_t>(usage.ru_utime.tv_usec) * 10;
    return true;
}

bool GetThreadUserTime(DWORD osThreadId, uint64_t* time100ns) {
    if (time100ns == nullptr) {
        return false;
    }
    // The calling thread has a cheaper and finer source than its stat file.
    if (osThreadId == GetCurrentThreadId()) {
        return GetCurrentThreadUserTime(time100ns);
    }
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/task/%u/stat", static_cast<unsigned>(osThreadId));
    char text[1024];
    size_t length = 0;
    if (!ReadWholeSmallFile(path, text, sizeof(text), &length)) {
        return false;
    }
    // The command name in parentheses may hold blanks and parentheses: fields count from the last
    // ')'. utime is field 14; field 3 (state) is the first after it.
    const char* p = std::strrchr(text, ')');
    if (p == nullptr) {
        return false;
    }
    ++p;
    for (int field = 3; field < 14; ++field) {
        while (*p == ' ') {
            ++p;
        }
        while (*p != ' ' && *p != 0) {
            ++p;
        }
        if (*p == 0) {
            return false;
        }
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long ticks = std::strtoull(p, &end, 10);
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (end == p || errno != 0 || ticksPerSecond <= 0) {
        return false;
    }
    *time100ns = ticks * (HundredNsPerSecond / static_cast<uint64_t>(ticksPerSecond));
    return true;
}

void GetLocalTime(SYSTEMTIME* time) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second shows as 60 in the C library; the platform's calendar time has no such second.
    time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

bool SystemTimeToFileTime(const SYSTEMTIME* time, FILETIME* fileTime) {
    if (time == nullptr || fileTime == nullptr) {
        return false;
    }
    if (time->wYear < 1601 || time->wYear > 30827 || time->wMonth < 1 || time->wMonth > 12 ||
        time->wDay < 1 || time->wDay > DaysInMonth(time->wYear, time->wMonth) ||
        time->wHour > 23 || time->wMinute > 59 || time->wSecond > 59 ||
        time->wMilliseconds > 999) {
        return false;
    }
    const int64_t days = DaysFromCivil(time->wYear, time->wMonth, time->wDay) + DaysFrom1601To1970;
    const uint64_t seconds = static_cast<uint64_t>(days) * 86400 + time->wHour * 3600u +
                             time->wMinute * 60u + time->wSecond;
    const uint64_t value = seconds * HundredNsPerSecond + time->wMilliseconds * 10000ull;
    fileTime->dwLowDateTime = static_cast<DWORD>(value);
    fileTime->dwHighDateTime = static_cast<DWORD>(value >> 32);
    return true;
}

}  // namespace Platform
