#include "SampleRun.h"

namespace SampleRun {

const char* const ExpectedOutput =
    "worker 1: Fib(18) = 2584\n"
    "worker 2: Fib(19) = 4181\n"
    "worker 3: Fib(20) = 6765\n"
    "allocated 20000 items, 1280000 bytes\n"
    "caught InvalidOperationException: sample failure\n"
    "total 13530\n";

ChildProcess Command() {
    ChildProcess child({QV_DOTNET, QV_SAMPLE_DLL});
    child.RemoveVariablesStartingWith("CORECLR_");
    child.RemoveVariablesStartingWith("COMPlus_");
    child.RemoveVariablesStartingWith("DOTNET_ProfAPI");
    child.RemoveVariable("QUORVELAN_PROFILER_LIBRARY");
    child.SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
    child.SetVariable("DOTNET_NOLOGO", "1");
    return child;
}

void AddProfilerVariables(ChildProcess* pChild, const std::string& clsid,
                          const std::string& profilerLibrary) {
    pChild->SetVariable("CORECLR_ENABLE_PROFILING", "1");
    pChild->SetVariable("CORECLR_PROFILER", clsid);
    pChild->SetVariable("CORECLR_PROFILER_PATH", QV_HOST_LIBRARY);
    pChild->SetVariable("QUORVELAN_PROFILER_LIBRARY", profilerLibrary);
    pChild->SetVariable("DOTNET_ProfAPI_ProfilerCompatibilitySetting", "EnableV2Profiler");
}

std::string Describe(const ChildProcess::Result& result) {
    return "started=" + std::to_string(result.started) + " " + result.error +
           " timedOut=" + std::to_string(result.timedOut) +
           " exitCode=" + std::to_string(result.exitCode) +
           " signal=" + std::to_string(result.signal) + "\n--- stdout:\n" + result.out +
           "--- stderr:\n" + result.err;
}

}  // namespace SampleRun
