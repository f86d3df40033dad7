#include "SampleRun.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/LogFileLines.h"

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
#ifdef QV_ASAN_RUNTIME
    // The runtime is not instrumented: its own allocations are not ours to report as leaks, and
    // it handles its own faults (null references in managed code are signals it expects).
    pChild->SetVariable("LD_PRELOAD", QV_ASAN_RUNTIME);
    pChild->SetVariable("ASAN_OPTIONS",
                        "detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:"
                        "allow_user_segv_handler=1:abort_on_error=1");
    pChild->SetVariable("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1");
#endif
}

void WriteRegistryFile(const std::filesystem::path& registryPath,
                       const std::filesystem::path& tempDirectory, const std::string& logMask) {
    std::ofstream registry(registryPath);
    registry << "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
             << "\"QUORVELAN_PROFILER_TEMP\"=\"" << tempDirectory.string() << "\"\n"
             << "\"QUORVELAN_PROFILER_LOGMASK\"=dword:" << logMask << "\n";
}

std::vector<std::string> FindLogLines(const std::filesystem::path& directory) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        const std::string text = ReadWholeFile(entry.path().string());
        if (text.find("ProcessGuid={") == std::string::npos) {
            continue;
        }
        std::vector<std::string> lines;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    return {};
}

bool AnyLineContains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

std::string Describe(const ChildProcess::Result& result) {
    return "started=" + std::to_string(result.started) + " " + result.error +
           " timedOut=" + std::to_string(result.timedOut) +
           " exitCode=" + std::to_string(result.exitCode) +
           " signal=" + std::to_string(result.signal) + "\n--- stdout:\n" + result.out +
           "--- stderr:\n" + result.err;
}

}  // namespace SampleRun
