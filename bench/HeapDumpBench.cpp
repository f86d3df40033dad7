// The memory kind's cost in the real runtime, each figure against a baseline from the same run:
//
//   steady state   an allocation-heavy loop (HeapBench alloc) without profiler, under the memory
//                  kind with a snapshot open and no dump, under the memory kind without snapshot
//                  (the runtime's share), and under a floor profiler that asks for 0x86 (class
//                  and module loads, full collection monitoring) and does nothing
//   heap dump      1 000 000 live objects (HeapBench hold): the memory kind's dump, from the start
//                  of its collection to the end of its snapshot as the controller sees them,
//                  against a forced collection under the floor profiler (the runtime's bare heap
//                  walk) and without profiler, with the snapshot streamed over the bridge and
//                  written to files; the process's peak resident memory and the snapshot's size
//                  are reported as counters; the floor and the streamed dump once more with
//                  10 000 000 live objects
//
// Each iteration runs the program once; times are those the program or the controller measured,
// not the process's start-up. Run: HeapDumpBench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "Controller/Session.h"
#include "RatioReporter.h"
#include "e2e/ChildProcess.h"

using namespace Controller;

namespace {

constexpr const char* MemoryKind = "{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* FloorKind = "{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}";
constexpr DWORD Patience = 120000;
constexpr const char* Allocations = "30000000";
constexpr const char* LiveObjects = "1000000";
constexpr const char* ManyLiveObjects = "10000000";

enum class Profiler { None, Memory, Floor };

struct Outcome {
    double programMs = 0;  // what the program printed ("elapsed" or "collect")
    double collections = 0;  // alloc mode: collections of generation 0 during the loop
    double peakBytes = 0;
    double dumpMs = 0;  // controller side, memory kind dumps only
    double tailMs = 0;  // of dumpMs, from the last progress report to the end
    double snapshotBytes = 0;
};

double Field(const std::string& out, const std::string& name) {
    const size_t at = out.find(name + " ");
    if (at == std::string::npos) {
        throw std::runtime_error("no '" + name + "' in the program's output: " + out);
    }
    return std::stod(out.substr(at + name.size() + 1));
}

class Scratch {
public:
    Scratch() : m_Path(std::filesystem::temp_directory_path() / ("qvbench" + Unique())) {
        std::filesystem::create_directories(m_Path);
    }
    ~Scratch() {
        std::error_code error;
        std::filesystem::remove_all(m_Path, error);
    }
    const std::filesystem::path& Path() const { return m_Path; }

private:
    static std::string Unique() {
        return std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    std::filesystem::path m_Path;
};

// Runs HeapBench once; a dump run (memory kind, mode "hold") asks for one dump once the heap is
// built and times it from the dump's operation start to its end.
Outcome Run(Profiler profiler, const char* mode, const char* count, bool dump = false,
            uint8_t snapshotType = SnapshotTypeBridgeStream, bool snapshotAtStart = true) {
    Scratch scratch;
    ChildProcess child({QV_DOTNET, QV_HEAPBENCH_DLL, mode, count});
    child.RemoveVariablesStartingWith("CORECLR_");
    child.RemoveVariablesStartingWith("DOTNET_ProfAPI");
    child.SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
    const std::filesystem::path ready = scratch.Path() / "ready";
    const std::filesystem::path go = scratch.Path() / "go";
    child.SetVariable("HEAPBENCH_READY", ready.string());
    child.SetVariable("HEAPBENCH_GO", go.string());
    std::unique_ptr<Session> pSession;
    if (profiler != Profiler::None) {
        child.SetVariable("CORECLR_ENABLE_PROFILING", "1");
        child.SetVariable("CORECLR_PROFILER",
                          profiler == Profiler::Memory ? MemoryKind : FloorKind);
        child.SetVariable("CORECLR_PROFILER_PATH", QV_HOST_LIBRARY);
        child.SetVariable("DOTNET_ProfAPI_ProfilerCompatibilitySetting", "EnableV2Profiler");
        child.SetVariable("QUORVELAN_PROFILER_LIBRARY",
                          profiler == Profiler::Memory ? QV_PROFILER_LIBRARY : QV_FAKE_PROFILER);
        child.SetVariable("QV_FAKE_PROFILER_TRACE", (scratch.Path() / "trace").string());
        child.SetVariable("QV_FAKE_PROFILER_MASK", "86");
        child.SetVariable("QUORVELAN_REGISTRY", (scratch.Path() / "none.reg").string());
    }
    if (profiler == Profiler::Memory) {
        SessionOptions options;
        options.memory.snapshotAtStart = !dump && snapshotAtStart;
        options.snapshotType = snapshotType;
        options.removeFileSnapshots = true;
        pSession = std::make_unique<Session>(options);
        child.SetVariable("QUORVELAN_PROFILER_BRIDGE",
                          "127.0.0.1:" + std::to_string(pSession->Listen()));
    }
    auto running = std::async(std::launch::async,
                              [&child] { return child.Run(std::chrono::milliseconds(Patience)); });
    if (pSession != nullptr) {
        pSession->Accept(Patience);
    }
    Outcome outcome;
    while (std::string(mode) == "hold" && !std::filesystem::exists(ready)) {
        if (running.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready) {
            break;
        }
    }
    if (dump) {
        pSession->Dump();
        auto started = pSession->WaitFor(EventKind::OperationStarted, Patience);
        const auto begin = std::chrono::steady_clock::now();
        auto lastProgress = begin;
        std::optional<ControllerEvent> finished;
        while ((finished = pSession->WaitFor(
                    {EventKind::OperationProgress, EventKind::OperationFinished}, Patience)) &&
               finished->kind == EventKind::OperationProgress) {
            lastProgress = std::chrono::steady_clock::now();
        }
        const auto end = std::chrono::steady_clock::now();
        outcome.dumpMs = std::chrono::duration<double, std::milli>(end - begin).count();
        outcome.tailMs = std::chrono::duration<double, std::milli>(end - lastProgress).count();
        auto snapshot = pSession->WaitFor(EventKind::Snapshot, Patience);
        if (!started || !finished || !snapshot || !snapshot->snapshot->complete) {
            throw std::runtime_error("the dump did not complete");
        }
        for (const SnapshotSection& section : snapshot->snapshot->sections) {
            outcome.snapshotBytes += static_cast<double>(section.bytes.size());
        }
    }
    std::ofstream(go) << "go";
    const ChildProcess::Result result = running.get();
    if (pSession != nullptr) {
        pSession->Close();
    }
    if (result.exitCode != 0) {
        throw std::runtime_error("HeapBench failed: " + result.out + result.err + result.error);
    }
    outcome.programMs = Field(result.out, std::string(mode) == "alloc" ? "elapsed" : "collect");
    if (std::string(mode) == "alloc") {
        outcome.collections = Field(result.out, "collections");
    }
    if (std::string(mode) == "hold") {
        outcome.peakBytes = Field(result.out, "peak");
    }
    return outcome;
}

void Allocate(benchmark::State& state, Profiler profiler,
              uint8_t snapshotType = SnapshotTypeBridgeStream, bool snapshotAtStart = true) {
    for (auto _ : state) {
        const Outcome outcome =
            Run(profiler, "alloc", Allocations, false, snapshotType, snapshotAtStart);
        state.SetIterationTime(outcome.programMs / 1000);
        state.counters["collections"] = outcome.collections;
    }
}

void Collect(benchmark::State& state, Profiler profiler, const char* liveObjects = LiveObjects) {
    for (auto _ : state) {
        const Outcome outcome = Run(profiler, "hold", liveObjects);
        state.SetIterationTime(outcome.programMs / 1000);
        state.counters["peak_MB"] = outcome.peakBytes / 1e6;
    }
}

void BM_AllocateWithoutProfiler(benchmark::State& state) {
    Allocate(state, Profiler::None);
}
void BM_AllocateMemoryKindNoDump(benchmark::State& state) {
    Allocate(state, Profiler::Memory);
}
// The same with file snapshots: creating a section asks the controller nothing.
void BM_AllocateMemoryKindNoDumpToFiles(benchmark::State& state) {
    Allocate(state, Profiler::Memory, SnapshotTypeFileSystem);
}
// The runtime's share: the same events asked for, nothing recorded.
void BM_AllocateMemoryKindNoSnapshot(benchmark::State& state) {
    Allocate(state, Profiler::Memory, SnapshotTypeBridgeStream, false);
}
void BM_AllocateFloor0x86(benchmark::State& state) {
    Allocate(state, Profiler::Floor);
}
void BM_CollectWithoutProfiler(benchmark::State& state) {
    Collect(state, Profiler::None);
}
void BM_CollectFloor0x86(benchmark::State& state) {
    Collect(state, Profiler::Floor);
}
void Dump(benchmark::State& state, uint8_t snapshotType, const char* liveObjects = LiveObjects) {
    for (auto _ : state) {
        const Outcome outcome = Run(Profiler::Memory, "hold", liveObjects, true, snapshotType);
        state.SetIterationTime(outcome.dumpMs / 1000);
        state.counters["peak_MB"] = outcome.peakBytes / 1e6;
        state.counters["snapshot_MB"] = outcome.snapshotBytes / 1e6;
        state.counters["tail_ms"] = outcome.tailMs;
    }
}

// Sections streamed to the controller as they are written.
void BM_DumpMemoryKind(benchmark::State& state) {
    Dump(state, SnapshotTypeBridgeStream);
}
// Sections written to files on the profiled side, which the controller reads afterwards.
void BM_DumpMemoryKindToFiles(benchmark::State& state) {
    Dump(state, SnapshotTypeFileSystem);
}

// Ten times the heap, once each: the profiler's memory stays where it was.
void BM_CollectFloor0x86TenMillion(benchmark::State& state) {
    Collect(state, Profiler::Floor, ManyLiveObjects);
}
void BM_DumpMemoryKindTenMillion(benchmark::State& state) {
    Dump(state, SnapshotTypeBridgeStream, ManyLiveObjects);
}

constexpr int Iterations = 3;
BENCHMARK(BM_AllocateWithoutProfiler)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_AllocateMemoryKindNoDump)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_AllocateMemoryKindNoDumpToFiles)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_AllocateMemoryKindNoSnapshot)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_AllocateFloor0x86)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_CollectWithoutProfiler)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_CollectFloor0x86)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_DumpMemoryKind)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_DumpMemoryKindToFiles)->UseManualTime()->Iterations(Iterations);
BENCHMARK(BM_CollectFloor0x86TenMillion)->UseManualTime()->Iterations(1);
BENCHMARK(BM_DumpMemoryKindTenMillion)->UseManualTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::string suffix = "/iterations:" + std::to_string(Iterations) + "/manual_time";
    reporter.PrintRatio("BM_AllocateMemoryKindNoDump" + suffix,
                        "BM_AllocateWithoutProfiler" + suffix);
    reporter.PrintRatio("BM_AllocateMemoryKindNoDumpToFiles" + suffix,
                        "BM_AllocateWithoutProfiler" + suffix);
    reporter.PrintRatio("BM_AllocateMemoryKindNoSnapshot" + suffix,
                        "BM_AllocateWithoutProfiler" + suffix);
    reporter.PrintRatio("BM_AllocateFloor0x86" + suffix, "BM_AllocateWithoutProfiler" + suffix);
    reporter.PrintRatio("BM_DumpMemoryKind" + suffix, "BM_CollectFloor0x86" + suffix);
    reporter.PrintRatio("BM_DumpMemoryKindToFiles" + suffix, "BM_CollectFloor0x86" + suffix);
    reporter.PrintRatio("BM_CollectFloor0x86" + suffix, "BM_CollectWithoutProfiler" + suffix);
    reporter.PrintRatio("BM_DumpMemoryKindTenMillion/iterations:1/manual_time",
                        "BM_CollectFloor0x86TenMillion/iterations:1/manual_time");
    benchmark::Shutdown();
    return 0;
}
