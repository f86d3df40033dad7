#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "Platform/Clock.h"
#include "Platform/Process.h"

using namespace Platform;

namespace {

uint64_t FileTimeValue(const FILETIME& time) {
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

bool ToFileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                WORD milliseconds, uint64_t* value) {
    const SYSTEMTIME time{year, month, 0, day, hour, minute, second, milliseconds};
    FILETIME fileTime{0xDEADBEEF, 0xDEADBEEF};
    const bool ok = SystemTimeToFileTime(&time, &fileTime);
    *value = FileTimeValue(fileTime);
    return ok;
}

// Spins until `probe` reports a value above `start`, or fails after a generous wall-clock limit.
template <typename Probe>
bool SpinUntilGrows(uint64_t start, Probe&& probe) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    volatile uint64_t sink = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 100000; ++i) {
            sink = sink + static_cast<uint64_t>(i);
        }
        uint64_t now = 0;
        if (probe(&now) && now > start) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(PlatformClock, FileTimeOfKnownDates) {
    uint64_t value = 0;
    ASSERT_TRUE(ToFileTime(2000, 1, 1, 0, 0, 0, 0, &value));
    EXPECT_EQ(value, 125911584000000000ull);
    ASSERT_TRUE(ToFileTime(1601, 1, 1, 0, 0, 0, 0, &value));
    EXPECT_EQ(value, 0u);
    ASSERT_TRUE(ToFileTime(1970, 1, 1, 0, 0, 0, 0, &value));
    EXPECT_EQ(value, 116444736000000000ull);
    // 2024-02-29 is day 19782 after 1970-01-01.
    ASSERT_TRUE(ToFileTime(2024, 2, 29, 12, 34, 56, 789, &value));
    EXPECT_EQ(value, 116444736000000000ull + (19782ull * 86400 + 45296) * 10000000 + 7890000);
    ASSERT_TRUE(ToFileTime(30827, 12, 31, 23, 59, 59, 999, &value));
    // The last representable tick of the calendar is 0x7FFF35F4F06C7FFF (23:59:59.9999999).
    EXPECT_EQ(value, 0x7FFF35F4F06C7FFFull - 9999);
}

TEST(PlatformClock, FileTimeRefusesInvalidDates) {
    uint64_t value = 0;
    EXPECT_FALSE(ToFileTime(2023, 2, 29, 0, 0, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(1900, 2, 29, 0, 0, 0, 0, &value));
    EXPECT_TRUE(ToFileTime(2000, 2, 29, 0, 0, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 4, 31, 0, 0, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 13, 1, 0, 0, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 0, 1, 0, 0, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 1, 0, 0, 0, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 1, 1, 24, 0, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 1, 1, 0, 60, 0, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 1, 1, 0, 0, 60, 0, &value));
    EXPECT_FALSE(ToFileTime(2024, 1, 1, 0, 0, 0, 1000, &value));
    EXPECT_FALSE(ToFileTime(1600, 12, 31, 23, 59, 59, 999, &value));
    EXPECT_FALSE(ToFileTime(30828, 1, 1, 0, 0, 0, 0, &value));
}

TEST(PlatformClock, LocalTimeIsAValidCalendarTime) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_GE(now.wYear, 2024);
    EXPECT_LE(now.wDayOfWeek, 6);
    FILETIME fileTime{};
    EXPECT_TRUE(SystemTimeToFileTime(&now, &fileTime));
}

TEST(PlatformClock, TickCountAdvancesAtLeastTheSleptTime) {
    const DWORD before = GetTickCount();
    Sleep(30);
    const DWORD after = GetTickCount();
    EXPECT_GE(static_cast<DWORD>(after - before), 30u);
}

TEST(PlatformClock, PerformanceCounterCountsNanoseconds) {
    int64_t frequency = 0;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency, 1000000000);
    int64_t first = 0;
    int64_t second = 0;
    ASSERT_TRUE(QueryPerformanceCounter(&first));
    Sleep(2);
    ASSERT_TRUE(QueryPerformanceCounter(&second));
    EXPECT_GE(second - first, 2000000);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_NE(ReadTimeStampCounter(), 0u);
}

TEST(PlatformClockConcurrent, UserTimeGrowsForABusyThread) {
    std::atomic<bool> stop{false};
    std::promise<DWORD> idPromise;
    std::thread busy([&] {
        idPromise.set_value(GetCurrentThreadId());
        volatile uint64_t sink = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            sink = sink + 1;
        }
    });
    const DWORD busyId = idPromise.get_future().get();
    uint64_t start = 0;
    ASSERT_TRUE(GetThreadUserTime(busyId, &start));
    // Read from outside: the busy thread's stat file must show its time growing.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    uint64_t now = start;
    while (now <= start && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
        ASSERT_TRUE(GetThreadUserTime(busyId, &now));
    }
    stop = true;
    busy.join();
    EXPECT_GT(now, start);
    EXPECT_EQ(now % 10, 0u);  // whole 100-ns units derived from clock ticks
}

TEST(PlatformClock, CurrentThreadUserTimeGrowsWhileSpinning) {
    uint64_t start = 0;
    ASSERT_TRUE(GetCurrentThreadUserTime(&start));
    EXPECT_TRUE(SpinUntilGrows(start, [](uint64_t* now) { return GetCurrentThreadUserTime(now); }));
    ASSERT_TRUE(GetThreadUserTime(GetCurrentThreadId(), &start));
    EXPECT_TRUE(SpinUntilGrows(start, [](uint64_t* now) {
        return GetThreadUserTime(GetCurrentThreadId(), now);
    }));
}

TEST(PlatformClock, UserTimeOfAnUnknownThreadFails) {
    uint64_t time = 0;
    EXPECT_FALSE(GetThreadUserTime(0x7FFFFFF0u, &time));
    EXPECT_FALSE(GetThreadUserTime(GetCurrentThreadId(), nullptr));
}
