// Cost of the per-thread call tree, against baselines measured in the same run:
//   - EnterFrame + LeaveFrame on a measuring record, per call pair, for a deep tree (a chain of
//     64 calls, one child per node) and a wide one (1000 children of one node, a hash table),
//     against pushing and popping the same frames on a std::vector (the floor: no tree at all);
//   - WriteAndDelete of a tree of about one million nodes into a file snapshot, in MB/s, against
//     writing as many bytes to the same storage in one piece;
//   - arena bytes per node, against the size of a node.
// At the end the program prints each ratio measured/baseline (CPU time per iteration; real time
// for the section writes).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Bridge/FileSnapShotStorage.h"
#include "Profiler/Performance/PerformanceThread.h"
#include "Profiler/ThreadRegistry.h"
#include "RatioReporter.h"
#include "Util/Utf8.h"
#include "support/FixedFunctionGatherer.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ProgressRecorder.h"

namespace {

constexpr DWORD DEEP_DEPTH = 64;
constexpr DWORD WIDE_WIDTH = 1000;
// Children per node by depth: 1 + 8 + ... + 32768 * 25 nodes, about one million.
constexpr DWORD LEVEL_WIDTHS[] = {8, 8, 8, 8, 8, 5, 5};
constexpr DWORD FUNCTION_COUNT = 1000;
constexpr DWORD SNAPSHOT_MAGIC = 0x46505651;

class BenchRegistry : public ThreadRegistry {
protected:
    std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
        return std::make_unique<PerformanceThread>(number);
    }
};

// A measuring record of its own registry.
struct MeasuredRecord {
    MeasuredRecord() {
        registry.ThreadCreate(1);
        record = static_cast<PerformanceThread*>(registry.Find(1));
        record->Enable(0, false);
    }
    BenchRegistry registry;
    PerformanceThread* record;
};

int64_t g_TreeBytes = 0;  // the five sections of the large tree, measured once
size_t g_TreeNodes = 0;

void BM_VectorPushPopDeep(benchmark::State& state) {
    std::vector<CallFrame> stack;
    stack.reserve(PerformanceThread::InitialFrameCapacity);
    UINT64 now = 0;
    for (auto _ : state) {
        for (DWORD fuid = 1; fuid <= DEEP_DEPTH; ++fuid) {
            stack.push_back(CallFrame{fuid, 0, nullptr, ++now, 0});
        }
        for (DWORD fuid = DEEP_DEPTH; fuid >= 1; --fuid) {
            benchmark::DoNotOptimize(stack.back().m_Fuid == fuid);
            stack.pop_back();
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * DEEP_DEPTH);
}

void BM_EnterLeaveDeep(benchmark::State& state) {
    MeasuredRecord measured;
    PerformanceThread& record = *measured.record;
    UINT64 now = 0;
    for (auto _ : state) {
        for (DWORD fuid = 1; fuid <= DEEP_DEPTH; ++fuid) {
            record.EnterFrame(fuid, ++now);
        }
        for (DWORD fuid = DEEP_DEPTH; fuid >= 1; --fuid) {
            record.LeaveFrame(fuid, ++now);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * DEEP_DEPTH);
}

void BM_VectorPushPopWide(benchmark::State& state) {
    std::vector<CallFrame> stack;
    stack.reserve(PerformanceThread::InitialFrameCapacity);
    stack.push_back(CallFrame{100000, 0, nullptr, 0, 0});
    UINT64 now = 0;
    for (auto _ : state) {
        for (DWORD fuid = 1; fuid <= WIDE_WIDTH; ++fuid) {
            stack.push_back(CallFrame{fuid, 0, nullptr, ++now, 0});
            benchmark::DoNotOptimize(stack.back().m_Fuid == fuid);
            stack.pop_back();
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * WIDE_WIDTH);
}

void BM_EnterLeaveWide(benchmark::State& state) {
    MeasuredRecord measured;
    PerformanceThread& record = *measured.record;
    record.EnterFrame(100000, 0);
    UINT64 now = 0;
    for (auto _ : state) {
        for (DWORD fuid = 1; fuid <= WIDE_WIDTH; ++fuid) {
            record.EnterFrame(fuid, ++now);
            record.LeaveFrame(fuid, ++now);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * WIDE_WIDTH);
}

// The large tree, through the record's own enter and leave: each node's children are
// LEVEL_WIDTHS[depth] distinct functions drawn from FUNCTION_COUNT by the path, so most functions
// have hundreds to thousands of nodes (aggregate chunks) and some paths recurse. Measuring is
// switched on and off around it; times step by thousands of ticks, as a fast counter's would.
// Returns the node count.
size_t BuildLargeTree(PerformanceThread& record) {
    record.Enable(0, false);
    struct Level {
        DWORD hash;
        DWORD next;  // next child to enter
    };
    std::vector<Level> path{{1, 0}};
    size_t nodes = 1;
    UINT64 now = 1;
    while (!path.empty()) {
        Level& top = path.back();
        const size_t depth = path.size() - 1;
        if (depth < std::size(LEVEL_WIDTHS) && top.next < LEVEL_WIDTHS[depth]) {
            const DWORD fuid = 1 + (top.hash * 31 + top.next * 7919) % FUNCTION_COUNT;
            ++top.next;
            record.EnterFrame(fuid, now += 3000);
            path.push_back(Level{top.hash * 131 + fuid, 0});
            ++nodes;
            continue;
        }
        path.pop_back();
        if (!path.empty()) {
            record.CloseTopFrame(now += 2000);
        }
    }
    record.Disable(now + 1000, false);
    return nodes;
}

// Creates a file snapshot, runs `write` on it, closes it and removes its files (untimed).
template <class Write>
void WithFileSnapshot(Write&& write, benchmark::State& state) {
    FileSnapShotStorage storage;
    storage.Create(nullptr, SNAPSHOT_MAGIC, 0, GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, 1);
    write(storage);
    const std::string index = ToUtf8(storage.GetIndexPath());  // empty once closed
    storage.Close();
    state.PauseTiming();
    std::filesystem::remove(index);
    for (int file = 0; file < 5; ++file) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), ".%04X", file);
        std::filesystem::remove(index + suffix);
    }
    state.ResumeTiming();
}

void BM_WriteSameBytesInOnePiece(benchmark::State& state) {
    const std::vector<BYTE> bytes(static_cast<size_t>(g_TreeBytes), 0x5A);
    for (auto _ : state) {
        WithFileSnapshot(
            [&](ISnapShotStorage& storage) {
                IWriteSeekBridgeStream* pSection = storage.CreateSection();
                pSection->Write(bytes.data(), bytes.size());
                storage.CloseSection(pSection, 0x1100, 0);
            },
            state);
    }
    state.SetBytesProcessed(state.iterations() * g_TreeBytes);
}

void BM_WriteAndDeleteMillionNodes(benchmark::State& state) {
    BenchRegistry registry;
    registry.ThreadCreate(1);
    auto& record = *static_cast<PerformanceThread*>(registry.Find(1));
    FixedFunctionGatherer functions;
    for (auto _ : state) {
        state.PauseTiming();
        BuildLargeTree(record);
        state.ResumeTiming();
        WithFileSnapshot(
            [&](ISnapShotStorage& storage) {
                ProgressRecorder progress;
                record.WriteAndDelete(&progress, &storage, &functions);
            },
            state);
    }
    state.SetBytesProcessed(state.iterations() * g_TreeBytes);
}

BENCHMARK(BM_VectorPushPopDeep);
BENCHMARK(BM_EnterLeaveDeep);
BENCHMARK(BM_VectorPushPopWide);
BENCHMARK(BM_EnterLeaveWide);
BENCHMARK(BM_WriteSameBytesInOnePiece)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteAndDeleteMillionNodes)->UseRealTime()->Unit(benchmark::kMillisecond);

// Builds the large tree once: its node count, its arena bytes and the bytes of its sections.
void MeasureLargeTree() {
    BenchRegistry registry;
    registry.ThreadCreate(1);
    auto& record = *static_cast<PerformanceThread*>(registry.Find(1));
    g_TreeNodes = BuildLargeTree(record);
    const double bytesPerNode = static_cast<double>(record.GetArenaBytes()) / g_TreeNodes;
    MemorySnapShotStorage storage;
    ProgressRecorder progress;
    FixedFunctionGatherer functions;
    record.WriteAndDelete(&progress, &storage, &functions);
    for (const auto& section : storage.Closed()) {
        g_TreeBytes += static_cast<int64_t>(section.content.size());
    }
    std::printf("large tree: %zu nodes, %.1f MB in its sections (%.1f bytes per node)\n",
                g_TreeNodes, g_TreeBytes / 1e6, static_cast<double>(g_TreeBytes) / g_TreeNodes);
    std::printf("ratio arena bytes per node / node size = %.2f / %zu = %.2f\n", bytesPerNode,
                sizeof(CallNode), bytesPerNode / sizeof(CallNode));

    MeasuredRecord wide;
    for (DWORD fuid = 1; fuid <= WIDE_WIDTH; ++fuid) {
        wide.record->EnterFrame(fuid, 0);
        wide.record->LeaveFrame(fuid, 0);
    }
    const double wideBytes = static_cast<double>(wide.record->GetArenaBytes()) / (WIDE_WIDTH + 1);
    std::printf("ratio arena bytes per node / node size (one node of %u children) = %.2f\n",
                WIDE_WIDTH, wideBytes / sizeof(CallNode));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    MeasureLargeTree();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("BM_EnterLeaveDeep", "BM_VectorPushPopDeep");
    reporter.PrintRatio("BM_EnterLeaveWide", "BM_VectorPushPopWide");
    reporter.PrintRatio("BM_WriteAndDeleteMillionNodes/real_time",
                        "BM_WriteSameBytesInOnePiece/real_time");
    benchmark::Shutdown();
    return 0;
}
