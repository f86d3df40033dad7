// The log formats every line with Platform::Format and tags it with the OS thread id; these
// measure both against the C library doing the same work.
#include <benchmark/benchmark.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <thread>

#include "Platform/Clock.h"
#include "Platform/Format.h"
#include "Platform/Process.h"

namespace {

void LogLineWithCLibrary(benchmark::State& state) {
    char buffer[8192];
    void* pointer = &buffer;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(buffer, sizeof(buffer), "%08X %p %s\n", 0x1234u,
                                               pointer, "BPProf::ThreadCreated tid=0000ABCD"));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(LogLineWithCLibrary);

void LogLineWithPlatformFormat(benchmark::State& state) {
    char buffer[8192];
    void* pointer = &buffer;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Platform::Format(buffer, sizeof(buffer), "%08X %p %s\n", 0x1234u,
                                                  pointer, "BPProf::ThreadCreated tid=0000ABCD"));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(LogLineWithPlatformFormat);

void WideTextWithCLibraryNarrowText(benchmark::State& state) {
    char buffer[8192];
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(buffer, sizeof(buffer), "name='%s' id=%u",
                                               "System.Threading.Thread::Start", 42u));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(WideTextWithCLibraryNarrowText);

void WideTextWithPlatformFormat(benchmark::State& state) {
    char buffer[8192];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Platform::Format(buffer, sizeof(buffer), "name='%S' id=%u",
                                                  u"System.Threading.Thread::Start", 42u));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(WideTextWithPlatformFormat);

void ThreadIdBySystemCall(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(syscall(SYS_gettid));
    }
}
BENCHMARK(ThreadIdBySystemCall);

void ThreadIdCached(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(Platform::GetCurrentThreadId());
    }
}
BENCHMARK(ThreadIdCached);

void CurrentThreadUserTime(benchmark::State& state) {
    uint64_t time = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Platform::GetCurrentThreadUserTime(&time));
    }
}
BENCHMARK(CurrentThreadUserTime);

void ThreadUserTimeFromStatFile(benchmark::State& state) {
    // Another thread's time comes from its stat file: the path a sampling turn takes.
    std::promise<DWORD> id;
    std::promise<void> stop;
    std::thread other([&] {
        id.set_value(Platform::GetCurrentThreadId());
        stop.get_future().wait();
    });
    const DWORD otherId = id.get_future().get();
    uint64_t time = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Platform::GetThreadUserTime(otherId, &time));
    }
    stop.set_value();
    other.join();
}
BENCHMARK(ThreadUserTimeFromStatFile);

}  // namespace

BENCHMARK_MAIN();
