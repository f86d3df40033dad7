// What the tracing kind adds to every managed call, in the real runtime, against the floors of
// hooking every call measured in the same run. CallFloor times recursive Fib inside the process
// (processor time of a round, median of its rounds), on one thread or on two at once; each
// benchmark iteration is one run of it:
//   none                      no profiler: the baseline
//   floor v3                  the floor profiler: same event mask, mapper and fast-path entry
//                             stubs, empty targets
//   floor v2                  the floor profiler with empty version-2 hooks
//   <timer> fast|precision    our tracing kind with that timer and precision, measuring from
//                             start-up, driven by a controller over loopback
// At the end it prints per thread count each configuration's nanoseconds per call, what it adds
// to the baseline, and that added time as a ratio to each floor's added time; and per
// configuration the added time with two threads against one (processor time per call, so 1.0
// means the threads do not slow each other down).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "CallFloorRun.h"
#include "Controller/Session.h"
#include "RatioReporter.h"

namespace {

constexpr const char* FIB_N = "30";
constexpr const char* ROUNDS = "5";
constexpr int PROCESS_RUNS = 3;
constexpr DWORD GENEROUS_MS = 120000;

std::vector<std::string> CallFloorArguments(int threads) {
    return {FIB_N, ROUNDS, std::to_string(threads)};
}

// Nanoseconds per call (median over the runs), by thread count and configuration.
std::map<int, std::map<std::string, double>> g_NsPerCall;

// One configuration: `run` makes one process run and returns its output line.
template <class Run>
void Measure(benchmark::State& state, int threads, const std::string& label, Run&& run) {
    const double nsPerCall = MeasureCallFloor(state, std::forward<Run>(run));
    if (nsPerCall > 0) {
        g_NsPerCall[threads][label] = nsPerCall;
    }
}

void BM_NoProfiler(benchmark::State& state, int threads) {
    Measure(state, threads, "none", [&] { return RunCallFloor(CallFloorArguments(threads), {}); });
}

void BM_Floor(benchmark::State& state, int threads, bool version2) {
    std::vector<std::string> variables = TracingProfilerVariables(QV_FLOOR_PROFILER);
    variables.push_back(version2 ? "QV_FLOOR_PROFILER_HOOKS=version2"
                                 : "QV_FLOOR_PROFILER_HOOKS=fast");
    Measure(state, threads, version2 ? "floor v2" : "floor v3",
            [&] { return RunCallFloor(CallFloorArguments(threads), variables); });
}

// Our kind, measuring from start-up; the snapshot saved at the end goes to a controller here.
void BM_Tracing(benchmark::State& state, int threads, uint8_t measureKind, bool precision) {
    static const char* const Timers[] = {"counter", "thread time", "rdtsc"};
    const std::filesystem::path temp =
        std::filesystem::temp_directory_path() / ("qv-tracing-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(temp);
    const std::filesystem::path registry = temp / "settings.reg";
    {
        std::ofstream file(registry);
        file << "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
             << "\"QUORVELAN_PROFILER_TEMP\"=\"" << temp.string() << "\"\n"
             << "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000000\n";
    }
    Controller::SessionOptions options;
    options.performance.startAtInitialization = true;
    options.performance.allowInlining = false;
    options.performance.measureKind = measureKind;
    options.performance.precision = precision;
    options.removeFileSnapshots = true;
    const std::string label =
        std::string(Timers[measureKind]) + (precision ? " precision" : " fast");
    Measure(state, threads, label, [&] {
        Controller::Session session(options);
        const WORD port = session.Listen();
        auto accepting = std::async(std::launch::async, [&] { session.Accept(GENEROUS_MS); });
        std::vector<std::string> variables = TracingProfilerVariables(QV_PROFILER_LIBRARY);
        variables.push_back("QUORVELAN_PROFILER_BRIDGE=127.0.0.1:" + std::to_string(port));
        variables.push_back("QUORVELAN_REGISTRY=" + registry.string());
        std::string out = RunCallFloor(CallFloorArguments(threads), variables);
        accepting.wait();
        if (!session.WaitFor(Controller::EventKind::Snapshot, GENEROUS_MS)) {
            out = "no snapshot";
        }
        session.Close();
        return out;
    });
    std::error_code error;
    std::filesystem::remove_all(temp, error);
}

void Register() {
    auto configure = [](benchmark::internal::Benchmark* pBenchmark) {
        pBenchmark->Iterations(PROCESS_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    for (int threads : {1, 2}) {
        const std::string suffix = "/threads:" + std::to_string(threads);
        configure(benchmark::RegisterBenchmark(("BM_NoProfiler" + suffix).c_str(), BM_NoProfiler,
                                               threads));
        configure(benchmark::RegisterBenchmark(("BM_FloorV3" + suffix).c_str(), BM_Floor, threads,
                                               false));
        configure(
            benchmark::RegisterBenchmark(("BM_FloorV2" + suffix).c_str(), BM_Floor, threads, true));
        for (uint8_t kind : {0, 1, 2}) {
            for (bool precision : {false, true}) {
                const std::string name = "BM_Tracing/kind:" + std::to_string(kind) +
                                         (precision ? "/precision" : "/fast") + suffix;
                configure(benchmark::RegisterBenchmark(name.c_str(), BM_Tracing, threads, kind,
                                                       precision));
            }
        }
    }
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

    std::printf("per call (Fib(%s), median of %s rounds, median of %d runs):\n", FIB_N, ROUNDS,
                PROCESS_RUNS);
    for (auto& [threads, figures] : g_NsPerCall) {
        auto baseline = figures.find("none");
        auto v3 = figures.find("floor v3");
        auto v2 = figures.find("floor v2");
        if (baseline == figures.end() || v3 == figures.end() || v2 == figures.end()) {
            continue;
        }
        const double v3Added = v3->second - baseline->second;
        const double v2Added = v2->second - baseline->second;
        std::printf("%d thread(s):\n  %-22s %9s %9s %11s %11s\n", threads, "", "ns", "added ns",
                    "added/v3", "added/v2");
        for (const auto& [name, ns] : figures) {
            const double added = ns - baseline->second;
            std::printf("  %-22s %9.2f %9.2f %11.2f %11.2f\n", name.c_str(), ns, added,
                        v3Added > 0 ? added / v3Added : 0.0, v2Added > 0 ? added / v2Added : 0.0);
        }
    }
    auto one = g_NsPerCall.find(1);
    auto two = g_NsPerCall.find(2);
    if (one != g_NsPerCall.end() && two != g_NsPerCall.end() && one->second.count("none") &&
        two->second.count("none")) {
        std::printf("added ns per call, two threads against one:\n");
        for (const auto& [name, ns] : one->second) {
            auto other = two->second.find(name);
            const double added1 = ns - one->second.at("none");
            if (name == "none" || other == two->second.end() || added1 <= 0) {
                continue;
            }
            const double added2 = other->second - two->second.at("none");
            std::printf("  %-22s %9.2f %9.2f %9.2f\n", name.c_str(), added1, added2,
                        added2 / added1);
        }
    }
    benchmark::Shutdown();
    return 0;
}
