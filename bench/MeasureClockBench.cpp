// Cost of one reading of each timer a hook can measure with, the part of the hook path that
// differs between the timers. Fast mode reads the timer once per hook, Precision twice. Baseline in
// the same run: the time-stamp counter read directly, the cheapest clock a hook could use.
#include <benchmark/benchmark.h>

#include <x86intrin.h>

#include <string>

#include "Profiler/Performance/MeasureClock.h"
#include "Profiler/Performance/MeasureKind.h"
#include "RatioReporter.h"

namespace {

void BM_RawRdtsc(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(__rdtsc());
    }
}

void BM_ClockNow(benchmark::State& state) {
    const auto kind = static_cast<DWORD>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(MeasureClock::Now(kind));
    }
}

}  // namespace

BENCHMARK(BM_RawRdtsc);
BENCHMARK(BM_ClockNow)
    ->ArgName("kind")
    ->Arg(MeasureKind::PerformanceCounter)
    ->Arg(MeasureKind::Rdtsc)
    ->Arg(MeasureKind::ThreadTime);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (DWORD kind : {MeasureKind::PerformanceCounter, MeasureKind::Rdtsc, MeasureKind::ThreadTime}) {
        reporter.PrintRatio("BM_ClockNow/kind:" + std::to_string(kind), "BM_RawRdtsc");
    }
    benchmark::Shutdown();
    return 0;
}
