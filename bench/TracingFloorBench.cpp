// The cost floor of hooking every managed call, in the real runtime. The CallFloor program times
// recursive Fib inside the process (median of its rounds); each benchmark iteration is one run of
// it, and the iteration time is its processor time for one round of `calls` calls:
//   NoProfiler      no profiler: the baseline
//   BareHooks       fast-path hooks that only return: what the runtime's calling code costs
//   Floor/<width>   the floor profiler: our fast-path entry stubs saving that vector width,
//                   with empty targets (the cost every tracing hook pays before its own work)
//   Version2        empty version-2 hooks, which the runtime reaches through its own slow stub
// At the end it prints each configuration's time per call, the time it adds to the baseline's,
// its ratio to the baseline, and its added time against the bare hooks' added time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CallFloorRun.h"
#include "Profiler/Performance/Tracing/HookStubs.h"
#include "RatioReporter.h"

namespace {

constexpr const char* FIB_N = "30";
constexpr const char* ROUNDS = "9";
constexpr int PROCESS_RUNS = 5;

// Nanoseconds per call of each configuration (the median over its runs), by configuration.
std::map<std::string, double> g_NsPerCall;

void RunConfiguration(benchmark::State& state, const std::string& label,
                      std::vector<std::string> variables) {
    if (!variables.empty()) {
        const std::vector<std::string> profiler = TracingProfilerVariables(QV_FLOOR_PROFILER);
        variables.insert(variables.end(), profiler.begin(), profiler.end());
    }
    const double nsPerCall = MeasureCallFloor(state, [&] {
        return RunCallFloor({FIB_N, ROUNDS}, variables);
    });
    if (nsPerCall > 0) {
        g_NsPerCall[label] = nsPerCall;
    }
}

void BM_NoProfiler(benchmark::State& state) {
    RunConfiguration(state, "none", {});
}

void BM_BareHooks(benchmark::State& state) {
    RunConfiguration(state, "bare hooks", {"QV_FLOOR_PROFILER_HOOKS=bare"});
}

void BM_Floor(benchmark::State& state, HookStubs::VectorWidth width) {
    RunConfiguration(state, std::string("floor stubs ") + HookStubs::VectorWidthName(width),
                     {"QV_FLOOR_PROFILER_HOOKS=fast", std::string("QV_FLOOR_PROFILER_VECTOR=") +
                                                          HookStubs::VectorWidthName(width)});
}

void BM_Version2(benchmark::State& state) {
    RunConfiguration(state, "version-2 hooks", {"QV_FLOOR_PROFILER_HOOKS=version2"});
}

void Register() {
    auto configure = [](benchmark::internal::Benchmark* pBenchmark) {
        pBenchmark->Iterations(PROCESS_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    configure(benchmark::RegisterBenchmark("BM_NoProfiler", BM_NoProfiler));
    configure(benchmark::RegisterBenchmark("BM_BareHooks", BM_BareHooks));
    using HookStubs::VectorWidth;
    for (VectorWidth width : {VectorWidth::Sse, VectorWidth::Avx, VectorWidth::Avx512}) {
        if (width <= HookStubs::DetectVectorWidth()) {
            configure(benchmark::RegisterBenchmark(
                (std::string("BM_Floor/") + HookStubs::VectorWidthName(width)).c_str(), BM_Floor,
                width));
        }
    }
    configure(benchmark::RegisterBenchmark("BM_Version2", BM_Version2));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Register();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto baseline = g_NsPerCall.find("none");
    auto bare = g_NsPerCall.find("bare hooks");
    if (baseline == g_NsPerCall.end() || baseline->second <= 0 || bare == g_NsPerCall.end()) {
        return 0;
    }
    const double bareAdded = bare->second - baseline->second;
    std::printf("per call (Fib(%s), median of %s rounds, median of %d runs):\n", FIB_N, ROUNDS,
                PROCESS_RUNS);
    std::printf("  %-20s %9s %9s %9s %11s\n", "", "ns", "added ns", "ratio", "added/bare");
    for (const auto& [name, ns] : g_NsPerCall) {
        std::printf("  %-20s %9.2f %9.2f %9.2f %11.2f\n", name.c_str(), ns, ns - baseline->second,
                    ns / baseline->second,
                    bareAdded > 0 ? (ns - baseline->second) / bareAdded : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
