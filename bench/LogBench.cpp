// Costs of the log on hot paths and of the spin lock, each against a baseline in the same run:
//   - a call site whose component is off (one flag test) against an empty loop;
//   - a plain line written to the real log file against fprintf of the same line to a file;
//   - an uncontended SpinLock acquire and release against std::mutex lock and unlock.
// At the end the program prints each ratio measured/baseline, in CPU time per iteration (steadier
// than wall time on a busy machine).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "Platform/FileSystem.h"
#include "Platform/Process.h"
#include "RatioReporter.h"
#include "Util/Log.h"
#include "Util/SpinLock.h"
#include "Util/TempFile.h"
#include "Util/Utf8.h"

namespace {

// Enough lines to time well, few enough that the files stay small (about 10 MB each).
constexpr benchmark::IterationCount LINE_ITERATIONS = 150000;

std::filesystem::path g_Directory;

const void* const SAMPLE_POINTER = reinterpret_cast<const void*>(0x7F001234);

void BM_EmptyLoop(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::ClobberMemory();
    }
}

void BM_DisabledCallSite(benchmark::State& state) {
    DWORD i = 0;
    for (auto _ : state) {
        if (Log::IsEnabled(LogComponent::FunctionCb)) {
            Log::Format("PTProf::FunctionEnter fid=%p n=%08X", SAMPLE_POINTER, i);
        }
        ++i;
        benchmark::ClobberMemory();
    }
}

void BM_FprintfSameLine(benchmark::State& state) {
    FILE* pFile = std::fopen((g_Directory / "fprintf-baseline.txt").c_str(), "wt");
    if (pFile == nullptr) {
        state.SkipWithError("cannot open the baseline file");
        return;
    }
    const unsigned tid = Platform::GetCurrentThreadId();
    DWORD i = 0;
    for (auto _ : state) {
        std::fprintf(pFile, "%08X %0*X PTProf::FunctionEnter fid=%p n=%08X\n", tid,
                     static_cast<int>(sizeof(void*) * 2), 0u, SAMPLE_POINTER, i++);
    }
    std::fclose(pFile);
}

void BM_LogPlainLine(benchmark::State& state) {
    DWORD i = 0;
    for (auto _ : state) {
        Log::Format("PTProf::FunctionEnter fid=%p n=%08X", SAMPLE_POINTER, i++);
    }
}

void BM_MutexLockUnlock(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}

void BM_SpinLockAcquireRelease(benchmark::State& state) {
    SpinLock lock;
    for (auto _ : state) {
        lock.Acquire();
        benchmark::ClobberMemory();
        lock.Release();
    }
}

BENCHMARK(BM_EmptyLoop);
BENCHMARK(BM_DisabledCallSite);
BENCHMARK(BM_FprintfSameLine)->Iterations(LINE_ITERATIONS);
BENCHMARK(BM_LogPlainLine)->Iterations(LINE_ITERATIONS);
BENCHMARK(BM_MutexLockUnlock);
BENCHMARK(BM_SpinLockAcquireRelease);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }

    std::error_code error;
    g_Directory = std::filesystem::temp_directory_path() /
                  ("qvbench-log-" + std::to_string(Platform::GetCurrentProcessId()));
    std::filesystem::create_directories(g_Directory, error);
    SetTempDirectory(FromUtf8(g_Directory.string()).c_str());
    Log::Initialize(0);  // every component off: the call sites above are disabled ones

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("BM_DisabledCallSite", "BM_EmptyLoop");
    reporter.PrintRatio("BM_LogPlainLine", "BM_FprintfSameLine");
    reporter.PrintRatio("BM_SpinLockAcquireRelease", "BM_MutexLockUnlock");

    Log::Finish();
    SetTempDirectory(nullptr);
    std::filesystem::remove_all(g_Directory, error);
    benchmark::Shutdown();
    return 0;
}
