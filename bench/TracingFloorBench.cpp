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
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Profiler/Performance/Tracing/HookStubs.h"
#include "RatioReporter.h"

extern char** environ;

namespace {

constexpr const char* FIB_N = "30";
constexpr const char* ROUNDS = "9";
constexpr int PROCESS_RUNS = 5;
// The floor profiler stands in for the tracing kind.
constexpr const char* TRACING_CLASS = "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}";

// Nanoseconds per call of each configuration (the median over its runs), by configuration.
std::map<std::string, double> g_NsPerCall;

// The inherited environment without the runtime's profiler variables, plus `extra`.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> variables;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string variable = *p;
        if (variable.rfind("CORECLR_", 0) != 0 && variable.rfind("QV_FLOOR_", 0) != 0 &&
            variable.rfind("DOTNET_ProfAPI", 0) != 0) {
            variables.push_back(variable);
        }
    }
    variables.insert(variables.end(), extra.begin(), extra.end());
    return variables;
}

// Runs CallFloor with the variables; its one line of output, or "" when it failed.
std::string RunCallFloor(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {QV_DOTNET, QV_CALL_FLOOR_DLL, FIB_N, ROUNDS};
    std::vector<std::string> variables = Environment(extra);
    std::vector<char*> argv, envp;
    for (std::string& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);

    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return "";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; spawned == 0 && (n = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0;) {
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return "";
    }
    return out;
}

void RunConfiguration(benchmark::State& state, const std::string& label,
                      std::vector<std::string> variables) {
    if (!variables.empty()) {
        variables.insert(
            variables.end(),
            {"CORECLR_ENABLE_PROFILING=1", std::string("CORECLR_PROFILER=") + TRACING_CLASS,
             std::string("CORECLR_PROFILER_PATH=") + QV_HOST_LIBRARY,
             std::string("QUORVELAN_PROFILER_LIBRARY=") + QV_FLOOR_PROFILER,
             "DOTNET_ProfAPI_ProfilerCompatibilitySetting=EnableV2Profiler"});
    }
    std::vector<double> nsPerCall;
    for (auto _ : state) {
        const std::string out = RunCallFloor(variables);
        unsigned long long calls = 0;
        double ns = 0;
        if (std::sscanf(out.c_str(), "calls=%llu ns=%lf", &calls, &ns) != 2 || calls == 0) {
            state.SkipWithError(("CallFloor failed: '" + out + "'").c_str());
            return;
        }
        state.SetIterationTime(ns / 1e9);
        nsPerCall.push_back(ns / static_cast<double>(calls));
    }
    std::sort(nsPerCall.begin(), nsPerCall.end());
    g_NsPerCall[label] = nsPerCall[nsPerCall.size() / 2];
    state.counters["ns_per_call"] = g_NsPerCall[label];
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
