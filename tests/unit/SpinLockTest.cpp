#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Sync.h"
#include "Util/SpinLock.h"
#include "Util/SpinLockGuard.h"
#include "WinCE/PALServices.h"
#include "support/PALThreadsStub.h"
#include "support/ScopedPALThreads.h"

namespace {

// Records the host sleeps and lets the test wait for the first one.
class SleepRecordingThreads : public PALThreadsStub {
public:
    SleepRecordingThreads() : m_hSlept(Platform::CreateManualResetEvent(false)) {}
    ~SleepRecordingThreads() { Platform::CloseEvent(m_hSlept); }

    HRESULT STDMETHODCALLTYPE Sleep(DWORD milliseconds) override {
        m_LastSleep.store(milliseconds);
        m_Sleeps.fetch_add(1);
        Platform::SetEvent(m_hSlept);
        return S_OK;
    }

    Platform::EventHandle m_hSlept;
    std::atomic<DWORD> m_LastSleep{0};
    std::atomic<int> m_Sleeps{0};
};

}  // namespace

TEST(SpinLock, ExcludesConcurrentHoldersUnderContention) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 20000;
    SpinLock lock;
    long counter = 0;  // plain data: only the lock keeps the increments whole
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};

    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                SpinLockGuard guard(lock);
                if (inside.fetch_add(1) != 0) {
                    overlapped = true;
                }
                ++counter;
                inside.fetch_sub(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, static_cast<long>(THREADS) * ROUNDS);
}

TEST(SpinLock, WaiterSleepsTenMillisecondsThroughHostOnceSpinningFails) {
    SleepRecordingThreads host;
    ScopedPALThreads scope(&host);

    SpinLock lock;
    lock.Acquire();
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        SpinLockGuard guard(lock);
        acquired = true;
    });
    // The waiter can only reach the host sleep after its immediate retries all failed.
    EXPECT_EQ(Platform::WaitForEvent(host.m_hSlept, 10000), Platform::WaitResult::Signalled);
    EXPECT_FALSE(acquired);
    lock.Release();
    waiter.join();

    EXPECT_TRUE(acquired);
    EXPECT_GE(host.m_Sleeps.load(), 1);
    EXPECT_EQ(host.m_LastSleep.load(), 10u);
}
