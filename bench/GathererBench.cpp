// Cost of the stable identities, against baselines measured in the same run:
//   - FunctionGatherer::MapFunction for a function already known (the hot path of every hook and
//     stack walk) against the runtime call it cannot avoid (GetFunctionInfo of the scripted
//     runtime) and against that call plus a std::mutex-guarded std::map look-up of the pair;
//   - ClassGatherer::CollectClassId for a class already known against a std::mutex-guarded
//     std::map look-up of the ClassID; both on one thread and on two at once;
//   - MetaDataGatherer::Write of the framework's largest assemblies into a file snapshot, in MB/s,
//     against copying the same number of bytes file to file in 4 MiB chunks.
// At the end the program prints each ratio measured/baseline (CPU time per iteration; real time
// for the threaded and the section runs).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Bridge/FileSnapShotStorage.h"
#include "Profiler/ClassGatherer.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "RatioReporter.h"
#include "Util/Utf8.h"
#include "support/FrameworkAssemblies.h"
#include "support/ProgressRecorder.h"
#include "support/TestRuntime.h"

namespace {

constexpr int FUNCTION_COUNT = 1024;
constexpr int CLASS_COUNT = 1024;

// Filled before the benchmarks run; only read while they run.
TestRuntime* g_pRuntime = nullptr;
MetaDataGatherer* g_pMetaData = nullptr;
FunctionGatherer* g_pFunctions = nullptr;
ClassGatherer* g_pClasses = nullptr;
std::vector<FunctionID> g_Functions;
std::vector<ClassID> g_Classes;
std::map<std::pair<ModuleID, mdToken>, DWORD> g_FunctionMap;
std::map<ClassID, INT32> g_ClassMap;
std::mutex g_MapLock;  // guards nothing that changes: the baseline pays for a lock, as a map that
                       // runtime threads add to would
std::vector<std::filesystem::path> g_ModuleFiles;
int64_t g_SectionBytes = 0;

void BM_RuntimeGetFunctionInfo(benchmark::State& state) {
    int i = state.thread_index();
    for (auto _ : state) {
        ModuleID module = 0;
        mdToken token = 0;
        g_pRuntime->GetFunctionInfo(g_Functions[i++ % FUNCTION_COUNT], nullptr, &module, &token);
        benchmark::DoNotOptimize(token);
    }
}

void BM_RuntimeCallAndMutexMap(benchmark::State& state) {
    int i = state.thread_index();
    for (auto _ : state) {
        ModuleID module = 0;
        mdToken token = 0;
        g_pRuntime->GetFunctionInfo(g_Functions[i++ % FUNCTION_COUNT], nullptr, &module, &token);
        std::lock_guard<std::mutex> lock(g_MapLock);
        benchmark::DoNotOptimize(g_FunctionMap.find({module, token})->second);
    }
}

void BM_MapFunctionKnown(benchmark::State& state) {
    int i = state.thread_index();
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_pFunctions->MapFunction(g_Functions[i++ % FUNCTION_COUNT]));
    }
}

void BM_MutexClassMap(benchmark::State& state) {
    int i = state.thread_index();
    for (auto _ : state) {
        std::lock_guard<std::mutex> lock(g_MapLock);
        benchmark::DoNotOptimize(g_ClassMap.find(g_Classes[i++ % CLASS_COUNT])->second);
    }
}

void BM_CollectClassIdKnown(benchmark::State& state) {
    int i = state.thread_index();
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_pClasses->CollectClassId(g_Classes[i++ % CLASS_COUNT]));
    }
}

void BM_CopySameBytes(benchmark::State& state) {
    std::vector<char> buffer(0x400000);
    const std::string target = (std::filesystem::temp_directory_path() / "qvbench.copy").string();
    for (auto _ : state) {
        FILE* pOut = std::fopen(target.c_str(), "wb");
        int64_t left = g_SectionBytes;
        // The files in turn, wrapping around, until as many bytes as the section moved.
        for (size_t f = 0; left > 0; f = (f + 1) % g_ModuleFiles.size()) {
            FILE* pIn = std::fopen(g_ModuleFiles[f].c_str(), "rb");
            size_t got = 0;
            while (left > 0 && (got = std::fread(buffer.data(), 1, buffer.size(), pIn)) > 0) {
                const size_t take = static_cast<size_t>(std::min<int64_t>(left, got));
                std::fwrite(buffer.data(), 1, take, pOut);
                left -= take;
            }
            std::fclose(pIn);
        }
        std::fclose(pOut);
    }
    std::filesystem::remove(target);
    state.SetBytesProcessed(state.iterations() * g_SectionBytes);
}

void BM_MetaDataSectionWrite(benchmark::State& state) {
    const GUID sequence = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    for (auto _ : state) {
        FileSnapShotStorage storage;
        storage.Create(nullptr, 0x454D5651, 0, sequence, 1);
        ProgressRecorder progress;
        g_pMetaData->Write(&progress, &storage);
        const std::string index = ToUtf8(storage.GetIndexPath());  // empty once closed
        storage.Close();
        state.PauseTiming();
        std::filesystem::remove(index);
        std::filesystem::remove(index + ".0000");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * g_SectionBytes);
}

BENCHMARK(BM_RuntimeGetFunctionInfo);
BENCHMARK(BM_RuntimeCallAndMutexMap);
BENCHMARK(BM_MapFunctionKnown);
BENCHMARK(BM_MutexClassMap);
BENCHMARK(BM_CollectClassIdKnown);
BENCHMARK(BM_RuntimeCallAndMutexMap)->Threads(2)->UseRealTime();
BENCHMARK(BM_MapFunctionKnown)->Threads(2)->UseRealTime();
BENCHMARK(BM_MutexClassMap)->Threads(2)->UseRealTime();
BENCHMARK(BM_CollectClassIdKnown)->Threads(2)->UseRealTime();
BENCHMARK(BM_CopySameBytes)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MetaDataSectionWrite)->UseRealTime()->Unit(benchmark::kMillisecond);

// The framework's largest managed files: enough metadata for a section of tens of megabytes.
std::vector<std::filesystem::path> LargestAssemblies(const std::filesystem::path& framework,
                                                     size_t count) {
    std::vector<std::pair<uintmax_t, std::filesystem::path>> files;
    for (const auto& entry : std::filesystem::directory_iterator(framework)) {
        if (entry.path().extension() == ".dll") {
            files.emplace_back(entry.file_size(), entry.path());
        }
    }
    std::sort(files.rbegin(), files.rend());
    std::vector<std::filesystem::path> largest;
    for (size_t i = 0; i < files.size() && i < count; ++i) {
        largest.push_back(files[i].second);
    }
    return largest;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const std::filesystem::path framework = FindFrameworkDirectory();
    if (framework.empty()) {
        std::fprintf(stderr, "GathererBench: no .NET shared framework on this machine\n");
        return 1;
    }

    TestRuntime runtime;
    MetaDataGatherer metaData;
    FunctionGatherer functions(&metaData);
    ClassGatherer classes(&metaData);
    metaData.Create();
    functions.Create(&runtime);
    classes.Create(&runtime);

    std::vector<ModuleID> modules;
    for (const auto& path : LargestAssemblies(framework, 12)) {
        const ModuleID module = runtime.AddModule({WidePath(path)});
        metaData.LoadModule(&runtime, module);
        const DWORD index = metaData.GetMetaDataIndex(module);
        if (index == 0) {
            continue;  // a native file among the framework's
        }
        modules.push_back(module);
        g_ModuleFiles.push_back(path);
    }
    for (int i = 0; i < FUNCTION_COUNT; ++i) {
        const ModuleID module = modules[i % modules.size()];
        const mdToken token = 0x06000001 + i;
        g_Functions.push_back(runtime.AddFunction(module, token));
        g_FunctionMap[{module, token}] = functions.MapFunction(g_Functions.back());
    }
    for (int i = 0; i < CLASS_COUNT; ++i) {
        g_Classes.push_back(runtime.AddClass(modules[i % modules.size()], 0x02000002 + i));
        g_ClassMap[g_Classes.back()] = classes.CollectClassId(g_Classes.back());
    }
    {
        // The section's size, measured once by writing it.
        FileSnapShotStorage storage;
        storage.Create(nullptr, 0x454D5651, 0, {}, 1);
        ProgressRecorder progress;
        metaData.Write(&progress, &storage);
        const std::string index = ToUtf8(storage.GetIndexPath());  // empty once closed
        storage.Close();
        g_SectionBytes = static_cast<int64_t>(std::filesystem::file_size(index + ".0000"));
        std::filesystem::remove(index);
        std::filesystem::remove(index + ".0000");
    }
    std::printf("metadata section: %zu modules, %.1f MB\n", g_ModuleFiles.size(),
                g_SectionBytes / 1e6);
    g_pRuntime = &runtime;
    g_pMetaData = &metaData;
    g_pFunctions = &functions;
    g_pClasses = &classes;

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("BM_MapFunctionKnown", "BM_RuntimeGetFunctionInfo");
    reporter.PrintRatio("BM_MapFunctionKnown", "BM_RuntimeCallAndMutexMap");
    reporter.PrintRatio("BM_CollectClassIdKnown", "BM_MutexClassMap");
    reporter.PrintRatio("BM_MapFunctionKnown/real_time/threads:2",
                        "BM_RuntimeCallAndMutexMap/real_time/threads:2");
    reporter.PrintRatio("BM_CollectClassIdKnown/real_time/threads:2",
                        "BM_MutexClassMap/real_time/threads:2");
    reporter.PrintRatio("BM_MetaDataSectionWrite/real_time", "BM_CopySameBytes/real_time");

    classes.Close();
    functions.Close();
    metaData.Close();
    benchmark::Shutdown();
    return 0;
}
