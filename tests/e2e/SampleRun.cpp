#include "SampleRun.h"

#include <gtest/gtest.h>

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

namespace {

// The runtime is not instrumented: its own allocations are not ours to report as leaks, and it
// handles its own faults (null references in managed code are signals it expects). Programs
// that qvprof starts inherit this from it.
void AddSanitizerVariables([[maybe_unused]] ChildProcess* pChild) {
#ifdef QV_ASAN_RUNTIME
    pChild->SetVariable("LD_PRELOAD", QV_ASAN_RUNTIME);
    pChild->SetVariable("ASAN_OPTIONS",
                        "detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:"
                        "allow_user_segv_handler=1:abort_on_error=1");
    pChild->SetVariable("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1");
#endif
}

void RemoveProfilerVariables(ChildProcess* pChild) {
    pChild->RemoveVariablesStartingWith("CORECLR_");
    pChild->RemoveVariablesStartingWith("COMPlus_");
    pChild->RemoveVariablesStartingWith("DOTNET_ProfAPI");
    pChild->SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
    pChild->SetVariable("DOTNET_NOLOGO", "1");
}

}  // namespace

ChildProcess CommandFor(const std::string& dll, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {QV_DOTNET, dll};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess child(command);
    RemoveProfilerVariables(&child);
    child.RemoveVariable("QUORVELAN_PROFILER_LIBRARY");
    return child;
}

ChildProcess Qvprof(std::vector<std::string> arguments, const std::vector<std::string>& launcher) {
    arguments.insert(arguments.begin(), QV_QVPROF);
    arguments.insert(arguments.begin(), launcher.begin(), launcher.end());
    ChildProcess child(std::move(arguments));
    RemoveProfilerVariables(&child);
    child.RemoveVariablesStartingWith("QUORVELAN_");
    AddSanitizerVariables(&child);
    return child;
}

std::vector<std::filesystem::path> SnapshotFiles(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() == ".qvsnap") {
            files.push_back(entry.path());
        }
    }
    return files;
}

void AddProfilerVariables(ChildProcess* pChild, const std::string& clsid,
                          const std::string& profilerLibrary) {
    pChild->SetVariable("CORECLR_ENABLE_PROFILING", "1");
    pChild->SetVariable("CORECLR_PROFILER", clsid);
    pChild->SetVariable("CORECLR_PROFILER_PATH", QV_HOST_LIBRARY);
    pChild->SetVariable("QUORVELAN_PROFILER_LIBRARY", profilerLibrary);
    pChild->SetVariable("DOTNET_ProfAPI_ProfilerCompatibilitySetting", "EnableV2Profiler");
    AddSanitizerVariables(pChild);
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

void ExpectNoLineWith(const std::vector<std::string>& lines,
                      const std::vector<std::string>& texts) {
    for (const std::string& line : lines) {
        for (const std::string& text : texts) {
            EXPECT_EQ(line.find(text), std::string::npos) << line;
        }
    }
}

std::string Describe(const ChildProcess::Result& result) {
    return "started=" + std::to_string(result.started) + " " + result.error +
           " timedOut=" + std::to_string(result.timedOut) +
           " exitCode=" + std::to_string(result.exitCode) +
           " signal=" + std::to_string(result.signal) + "\n--- stdout:\n" + result.out +
           "--- stderr:\n" + result.err;
}

std::string Describe(const Controller::Profile& profile, size_t functions) {
    std::ostringstream text;
    for (const Controller::ThreadProfile& thread : profile.Threads()) {
        text << "thread " << thread.thread.recordNumber << " '" << thread.thread.name << "' total "
             << profile.Seconds(thread.tree.Root().totalTicks) << " s\n";
        for (size_t i = 0; i < thread.functions.size() && i < functions; ++i) {
            const auto& summary = thread.functions[i];
            text << "  " << profile.FunctionName(summary.function) << " calls " << summary.calls
                 << " total " << profile.Seconds(summary.totalTicks) << " s\n";
        }
    }
    return text.str();
}

void ExpectUnchanged(const ChildProcess::Result& result, const std::string& out, int exitCode) {
    ASSERT_TRUE(result.started) << result.error;
    ASSERT_FALSE(result.timedOut) << Describe(result);
    EXPECT_EQ(out, result.out);
    // The profiler's diagnostics go to its log, never to the program's own streams.
    EXPECT_EQ("", result.err);
    EXPECT_EQ(exitCode, result.exitCode) << Describe(result);
}

ControlledRun::ControlledRun(Controller::SessionOptions options)
    : m_pSession(std::make_unique<Controller::Session>(std::move(options))) {}

ControlledRun::~ControlledRun() {
    if (m_Running.valid()) {
        m_Running.wait();
    }
    m_pSession->Close();
}

void ControlledRun::Start(ChildProcess child, const std::string& clsid,
                          std::chrono::seconds limit) {
    std::filesystem::create_directories(Folder() / "log");
    const std::filesystem::path registry = Folder() / "settings.reg";
    WriteRegistryFile(registry, Folder() / "log", "00000000");
    AddProfilerVariables(&child, clsid);
    child.SetVariable("QUORVELAN_PROFILER_BRIDGE",
                      "127.0.0.1:" + std::to_string(m_pSession->Listen()));
    child.SetVariable("QUORVELAN_REGISTRY", registry.string());
    m_Running = std::async(std::launch::async,
                           [child = std::move(child), limit] { return child.Run(limit); });
}

ChildProcess::Result ControlledRun::Finish() {
    ChildProcess::Result result = m_Running.get();
    m_pSession->Close();
    return result;
}

std::vector<std::string> ControlledRun::LogLines() const {
    return FindLogLines(Folder() / "log");
}

}  // namespace SampleRun
