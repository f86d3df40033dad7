// Cost of passing the measure gate as a reader (enter, then leave), as every callback and hook
// does, on one thread and on two threads at once. The figure that matters is the two-thread time
// per pass over the one-thread time (real time, so a pass that waits on the other core shows):
// the gate's readers write only their own thread's stripe, so two readers should cost what one
// costs. Baselines in the same run:
//   - a relaxed atomic load pair (the least a gate could cost, and how two cores scale on it);
//   - a gate whose readers share one count (what the stripes avoid).
#include <benchmark/benchmark.h>

#include <atomic>

#include "Platform/Types.h"
#include "Profiler/Performance/MeasureGate.h"
#include "RatioReporter.h"

namespace {

MeasureGate g_Gate;

struct alignas(128) SharedCountGate {
    std::atomic<DWORD> m_Writer{0};
    alignas(128) std::atomic<DWORD> m_Readers{0};
};
SharedCountGate g_Shared;

alignas(128) std::atomic<DWORD> g_Word{0};
alignas(128) std::atomic<DWORD> g_OtherWord{0};

void BM_RelaxedLoadPair(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_Word.load(std::memory_order_relaxed));
        benchmark::DoNotOptimize(g_OtherWord.load(std::memory_order_relaxed));
    }
}

void BM_GateReader(benchmark::State& state) {
    for (auto _ : state) {
        const DWORD stripe = g_Gate.EnterReader();
        benchmark::ClobberMemory();
        g_Gate.LeaveReader(stripe);
    }
}

void BM_SharedCountReader(benchmark::State& state) {
    for (auto _ : state) {
        g_Shared.m_Readers.fetch_add(1, std::memory_order_seq_cst);
        benchmark::DoNotOptimize(g_Shared.m_Writer.load(std::memory_order_seq_cst));
        benchmark::ClobberMemory();
        g_Shared.m_Readers.fetch_sub(1, std::memory_order_release);
    }
}

BENCHMARK(BM_RelaxedLoadPair)->UseRealTime();
BENCHMARK(BM_RelaxedLoadPair)->Threads(2)->UseRealTime();
BENCHMARK(BM_GateReader)->UseRealTime();
BENCHMARK(BM_GateReader)->Threads(2)->UseRealTime();
BENCHMARK(BM_SharedCountReader)->UseRealTime();
BENCHMARK(BM_SharedCountReader)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("BM_GateReader/real_time/threads:2", "BM_GateReader/real_time");
    reporter.PrintRatio("BM_RelaxedLoadPair/real_time/threads:2", "BM_RelaxedLoadPair/real_time");
    reporter.PrintRatio("BM_SharedCountReader/real_time/threads:2",
                        "BM_SharedCountReader/real_time");
    reporter.PrintRatio("BM_GateReader/real_time", "BM_RelaxedLoadPair/real_time");
    reporter.PrintRatio("BM_GateReader/real_time/threads:2",
                        "BM_RelaxedLoadPair/real_time/threads:2");
    benchmark::Shutdown();
    return 0;
}
