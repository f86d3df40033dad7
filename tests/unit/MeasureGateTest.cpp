#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "Profiler/Performance/MeasureGate.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kGenerous = 30s;

}  // namespace

TEST(MeasureGateConcurrent, WriterWaitsForReaderAndKeepsNewReadersOut) {
    MeasureGate gate;
    const DWORD stripe = gate.EnterReader();
    const DWORD nested = gate.EnterReader();
    EXPECT_EQ(gate.CountReaders(), 2u);

    std::atomic<bool> writerIn{false};
    std::atomic<bool> readerStarted{false};
    auto writer = std::async(std::launch::async, [&] {
        MeasureGate::WriterLock lock(gate);
        writerIn = true;
        // Held until the reader below is on its way in, and a while longer.
        WaitUntil([&] { return readerStarted.load(); });
        for (int i = 0; i < 10000; ++i) {
            std::this_thread::yield();
        }
        writerIn = false;
    });
    ASSERT_TRUE(WaitUntil([&] { return gate.IsWriterInside(); }));
    EXPECT_FALSE(writerIn) << "the writer passed a reader still inside";
    gate.LeaveReader(nested);
    EXPECT_FALSE(writerIn);
    gate.LeaveReader(stripe);
    ASSERT_TRUE(WaitUntil([&] { return writerIn.load(); }));

    // A reader arriving now waits until the writer has left.
    bool sawWriter = true;
    auto reader = std::async(std::launch::async, [&] {
        readerStarted = true;
        MeasureGate::ReaderLock lock(gate);
        sawWriter = writerIn;
    });
    ASSERT_EQ(writer.wait_for(kGenerous), std::future_status::ready);
    ASSERT_EQ(reader.wait_for(kGenerous), std::future_status::ready);
    EXPECT_FALSE(sawWriter);
    EXPECT_EQ(gate.CountReaders(), 0u);
    EXPECT_FALSE(gate.IsWriterInside());
}

// Readers on several threads and writers on two more: no reader is ever inside with a writer,
// no two writers are inside together, and the plain data they share shows no race (TSan).
TEST(MeasureGateConcurrent, ReadersAndWritersExcludeEachOther) {
    constexpr int kReaders = 3;
    constexpr int kReaderRounds = 20000;
    constexpr int kWriterRounds = 25;
    MeasureGate gate;
    std::atomic<int> readersIn{0};
    std::atomic<int> writersIn{0};
    std::atomic<bool> violated{false};
    long shared = 0;  // written by writers only, read by readers: the gate orders them
    std::atomic<long> seen{0};

    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < kReaderRounds; ++i) {
                MeasureGate::ReaderLock lock(gate);
                readersIn.fetch_add(1);
                violated = violated || writersIn.load() != 0;
                seen.fetch_add(shared, std::memory_order_relaxed);
                readersIn.fetch_sub(1);
            }
        });
    }
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&] {
            for (int i = 0; i < kWriterRounds; ++i) {
                MeasureGate::WriterLock lock(gate);
                violated = violated || writersIn.fetch_add(1) != 0 || readersIn.load() != 0;
                ++shared;
                for (int k = 0; k < 200; ++k) {  // a while inside, for readers to run into
                    std::this_thread::yield();
                }
                violated = violated || readersIn.load() != 0;
                writersIn.fetch_sub(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(violated);
    EXPECT_EQ(shared, 2 * kWriterRounds);
    EXPECT_EQ(gate.CountReaders(), 0u);
}
