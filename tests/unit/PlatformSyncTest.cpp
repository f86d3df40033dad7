#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Linux/EventObject.h"
#include "Platform/Sync.h"

using namespace Platform;

namespace {

// Waits (bounded) until `count` threads are inside WaitForEvent on the event.
bool WaitForWaiters(EventHandle event, unsigned count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(event->m_Lock);
            if (event->m_Waiters >= count) {
                return true;
            }
        }
        std::this_thread::yield();
    }
    return false;
}

}  // namespace

TEST(PlatformEvent, ManualResetStaysSignalledUntilReset) {
    EventHandle event = CreateManualResetEvent(false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForEvent(event, 0), WaitResult::TimedOut);
    EXPECT_EQ(WaitForEvent(event, 20), WaitResult::TimedOut);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Signalled);
    EXPECT_EQ(WaitForEvent(event, INFINITE), WaitResult::Signalled);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForEvent(event, 0), WaitResult::TimedOut);
    EXPECT_TRUE(CloseEvent(event));

    EventHandle signalled = CreateManualResetEvent(true);
    EXPECT_EQ(WaitForEvent(signalled, 0), WaitResult::Signalled);
    EXPECT_TRUE(CloseEvent(signalled));
}

TEST(PlatformEvent, NullHandleFails) {
    EXPECT_EQ(WaitForEvent(nullptr, 0), WaitResult::Failed);
    EXPECT_EQ(WaitForEvent(nullptr, INFINITE), WaitResult::Failed);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_FALSE(CloseEvent(nullptr));
}

TEST(PlatformEventConcurrent, SetWakesEveryWaiter) {
    EventHandle event = CreateManualResetEvent(false);
    ASSERT_NE(event, nullptr);
    std::vector<std::future<WaitResult>> waiters;
    waiters.push_back(std::async(std::launch::async, [event] { return WaitForEvent(event, INFINITE); }));
    waiters.push_back(std::async(std::launch::async, [event] { return WaitForEvent(event, 60000); }));
    ASSERT_TRUE(WaitForWaiters(event, 2));
    // Reset right after set: the threads that were waiting still go.
    SetEvent(event);
    ResetEvent(event);
    for (auto& waiter : waiters) {
        EXPECT_EQ(waiter.get(), WaitResult::Signalled);
    }
    EXPECT_EQ(WaitForEvent(event, 0), WaitResult::TimedOut);
    CloseEvent(event);
}

TEST(PlatformEventConcurrent, CloseAbandonsEveryWaiter) {
    EventHandle event = CreateManualResetEvent(false);
    ASSERT_NE(event, nullptr);
    auto infinite = std::async(std::launch::async, [event] { return WaitForEvent(event, INFINITE); });
    auto bounded = std::async(std::launch::async, [event] { return WaitForEvent(event, 60000); });
    ASSERT_TRUE(WaitForWaiters(event, 2));
    EXPECT_TRUE(CloseEvent(event));
    EXPECT_EQ(infinite.get(), WaitResult::Abandoned);
    EXPECT_EQ(bounded.get(), WaitResult::Abandoned);
}

TEST(PlatformTls, EachThreadSeesItsOwnValue) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 1;
    int theirs = 2;
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    EXPECT_TRUE(TlsSetValue(slot, &mine));
    void* seenBefore = &mine;
    void* seenAfter = nullptr;
    std::thread other([&] {
        seenBefore = TlsGetValue(slot);
        TlsSetValue(slot, &theirs);
        seenAfter = TlsGetValue(slot);
    });
    other.join();
    EXPECT_EQ(seenBefore, nullptr);
    EXPECT_EQ(seenAfter, &theirs);
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_TRUE(TlsFree(slot));
}

TEST(PlatformTls, ExhaustionAnswersOutOfIndexes) {
    std::vector<DWORD> slots;
    for (int i = 0; i < 100000; ++i) {
        const DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES) {
            break;
        }
        slots.push_back(slot);
    }
    const bool exhausted = slots.size() < 100000;
    for (DWORD slot : slots) {
        TlsFree(slot);
    }
    EXPECT_TRUE(exhausted);
    EXPECT_EQ(TLS_OUT_OF_INDEXES, 0xFFFFFFFFu);
    EXPECT_FALSE(TlsSetValue(TLS_OUT_OF_INDEXES, nullptr));
    EXPECT_EQ(TlsGetValue(TLS_OUT_OF_INDEXES), nullptr);
    EXPECT_FALSE(TlsFree(TLS_OUT_OF_INDEXES));
}
