// One run of the CallFloor program (bench/CallFloor) for the tracing benchmarks: the inherited
// environment without any profiler's variables, plus `variables` ("NAME=value"), through the
// end-to-end tests' child process runner. Its one line of output ("calls=N ns=T"), or "" when the
// run failed.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"

inline std::string RunCallFloor(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& variables) {
    std::vector<std::string> command = {QV_DOTNET, QV_CALL_FLOOR_DLL};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess child(command);
    for (const char* pPrefix : {"CORECLR_", "QV_FLOOR_", "DOTNET_ProfAPI", "QUORVELAN_"}) {
        child.RemoveVariablesStartingWith(pPrefix);
    }
    for (const std::string& variable : variables) {
        const size_t equals = variable.find('=');
        child.SetVariable(variable.substr(0, equals), variable.substr(equals + 1));
    }
    const ChildProcess::Result result = child.Run(std::chrono::minutes(10));
    return result.started && !result.timedOut && result.exitCode == 0 ? result.out : "";
}

// The variables that load `library` as the tracing kind through our host.
inline std::vector<std::string> TracingProfilerVariables(const char* pLibrary) {
    return {"CORECLR_ENABLE_PROFILING=1", "CORECLR_PROFILER={D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}",
            std::string("CORECLR_PROFILER_PATH=") + QV_HOST_LIBRARY,
            std::string("QUORVELAN_PROFILER_LIBRARY=") + pLibrary,
            "DOTNET_ProfAPI_ProfilerCompatibilitySetting=EnableV2Profiler"};
}

// Each benchmark iteration is one CallFloor run made by `run`; its time is the run's processor
// time for one round. The median nanoseconds per call, also shown as the "ns_per_call" counter;
// 0 when a run failed (the benchmark is then skipped with the run's output).
template <class Run>
double MeasureCallFloor(benchmark::State& state, Run&& run) {
    std::vector<double> nsPerCall;
    for (auto _ : state) {
        const std::string out = run();
        unsigned long long calls = 0;
        double ns = 0;
        if (std::sscanf(out.c_str(), "calls=%llu ns=%lf", &calls, &ns) != 2 || calls == 0) {
            state.SkipWithError(("CallFloor failed: '" + out + "'").c_str());
            return 0;
        }
        state.SetIterationTime(ns / 1e9);
        nsPerCall.push_back(ns / static_cast<double>(calls));
    }
    std::sort(nsPerCall.begin(), nsPerCall.end());
    const double median = nsPerCall[nsPerCall.size() / 2];
    state.counters["ns_per_call"] = median;
    return median;
}
