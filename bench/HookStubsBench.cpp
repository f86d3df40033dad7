// Cost of one fast-path entry stub call with an empty target, per vector width the machine
// offers, against the baseline of calling an empty function the same way (what the runtime's
// jitted code pays for a hook that does nothing). At the end the program prints each ratio
// stub / baseline, in CPU time per call.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Profiler/Performance/Tracing/HookStubs.h"
#include "RatioReporter.h"

namespace {

__attribute__((noinline)) void HOOKCALLTYPE EmptyHook(FunctionIDOrClientID) {
    asm volatile("");
}

void EmptyTarget(void*, UINT_PTR) {}

const HookTargets g_EmptyTargets{nullptr, EmptyTarget, EmptyTarget, EmptyTarget};

void CallHook(benchmark::State& state, FunctionLeave3* pHook) {
    // Read through a volatile pointer: the call stays an indirect call to code the compiler
    // cannot see, as from jitted code.
    FunctionLeave3* volatile pTarget = pHook;
    const FunctionIDOrClientID id{7};
    for (auto _ : state) {
        pTarget(id);
    }
}

void BM_EmptyHook(benchmark::State& state) {
    CallHook(state, EmptyHook);
}

void BM_Stub(benchmark::State& state, HookStubs::VectorWidth width) {
    CallHook(state, HookStubs::FastPathHooks(width).pLeave);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    HookStubs::SetTargets(&g_EmptyTargets);
    benchmark::RegisterBenchmark("BM_EmptyHook", BM_EmptyHook);
    std::vector<std::string> names;
    using HookStubs::VectorWidth;
    for (VectorWidth width : {VectorWidth::Sse, VectorWidth::Avx, VectorWidth::Avx512}) {
        if (HookStubs::HasFastPath() && width <= HookStubs::DetectVectorWidth()) {
            names.push_back(std::string("BM_Stub/") + HookStubs::VectorWidthName(width));
            benchmark::RegisterBenchmark(names.back().c_str(), BM_Stub, width);
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const std::string& name : names) {
        reporter.PrintRatio(name, "BM_EmptyHook");
    }
    benchmark::Shutdown();
    return 0;
}
