// Cost of finding the calling thread's record, against a baseline in the same run:
//   - ThreadRegistry::Find among 16 active records against a std::mutex-guarded std::map lookup
//     of the same ids, on one thread and on two threads at once (readers contending);
//   - the thread-local slot read (GetThreadLocalRecord) against the same mutex-guarded lookup.
// At the end the program prints each ratio measured/baseline, in CPU time per iteration.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Process.h"
#include "Profiler/ThreadRegistry.h"
#include "RatioReporter.h"

namespace {

constexpr int THREAD_COUNT = 16;
constexpr ThreadID FIRST_ID = 0x10000;
constexpr ThreadID ID_STEP = 0x100;

class BenchRegistry : public ThreadRegistry {
protected:
    std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
        return std::make_unique<BaseThread>(number);
    }
};

// Filled before the benchmarks run; only read while they run.
BenchRegistry* g_pRegistry = nullptr;
std::map<ThreadID, BaseThread*> g_Map;
std::mutex g_MapLock;  // guards nothing that changes: the baseline pays for a lock, as a map
                       // that threads come and go from would

ThreadID IdOf(int index) {
    return FIRST_ID + static_cast<ThreadID>(index) * ID_STEP;
}

void BM_MutexMapFind(benchmark::State& state) {
    int i = state.thread_index();
    for (auto _ : state) {
        std::lock_guard<std::mutex> lock(g_MapLock);
        auto it = g_Map.find(IdOf(i++ % THREAD_COUNT));
        benchmark::DoNotOptimize(it == g_Map.end() ? nullptr : it->second);
    }
}

void BM_RegistryFind(benchmark::State& state) {
    int i = state.thread_index();
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_pRegistry->Find(IdOf(i++ % THREAD_COUNT)));
    }
}

void BM_RegistryThreadLocalRecord(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_pRegistry->GetThreadLocalRecord());
    }
}

BENCHMARK(BM_MutexMapFind);
BENCHMARK(BM_RegistryFind);
BENCHMARK(BM_RegistryThreadLocalRecord);
BENCHMARK(BM_MutexMapFind)->Threads(2)->UseRealTime();
BENCHMARK(BM_RegistryFind)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }

    BenchRegistry registry;
    registry.Create(nullptr, ThreadRegistry::MergeNever, true, false);
    for (int i = 0; i < THREAD_COUNT; ++i) {
        registry.ThreadCreate(IdOf(i));
        g_Map[IdOf(i)] = registry.Find(IdOf(i));
    }
    registry.ThreadAssign(IdOf(0), Platform::GetCurrentThreadId());
    g_pRegistry = &registry;

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("BM_RegistryFind", "BM_MutexMapFind");
    reporter.PrintRatio("BM_RegistryThreadLocalRecord", "BM_MutexMapFind");
    reporter.PrintRatio("BM_RegistryFind/real_time/threads:2",
                        "BM_MutexMapFind/real_time/threads:2");

    registry.Close();
    benchmark::Shutdown();
    return 0;
}
