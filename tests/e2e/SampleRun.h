// Runs the C# sample programs under the machine's dotnet, with or without a profiler, alone or
// with a controller Session on loopback, and knows what the Sample program prints.
#pragma once

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Controller/Profile.h"
#include "Controller/Session.h"
#include "support/ScratchDirectory.h"

namespace SampleRun {

// The sample's standard output and exit code (see the comment at the top of its Program.cs).
extern const char* const ExpectedOutput;
constexpr int ExpectedExitCode = 7;

constexpr auto Timeout = std::chrono::seconds(120);
constexpr DWORD GenerousMs = 120000;

// The class identifiers of the profiler's kinds.
constexpr const char* TracingKind = "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* SamplingKind = "{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* MemoryKind = "{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* TestKindOne = "{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* TestKindTwo = "{D37A1B78-7DC4-46FD-BC31-F7C4D5A11C9C}";

// "dotnet <dll> <arguments>" with every profiler-loading variable removed from the inherited
// environment, so that only what a test sets applies. The default is the Sample program.
ChildProcess CommandFor(const std::string& dll = QV_SAMPLE_DLL,
                        const std::vector<std::string>& arguments = {});

// qvprof with an environment free of profiler variables, as a user's shell has it; `launcher`
// (a shell command, say) runs in front of it, with qvprof's path as its next argument.
ChildProcess Qvprof(std::vector<std::string> arguments,
                    const std::vector<std::string>& launcher = {});
// The snapshot files (*.qvsnap) in a folder.
std::vector<std::filesystem::path> SnapshotFiles(const std::filesystem::path& directory);

// The variables that make the runtime load libqvhost.so for the profiler class `clsid`, with
// `profilerLibrary` as the library the host loads and version-2 profilers allowed.
void AddProfilerVariables(ChildProcess* pChild, const std::string& clsid,
                          const std::string& profilerLibrary = QV_PROFILER_LIBRARY);

// Writes a registry file that sends the profiler's temporary files (its log among them) to
// `tempDirectory` with the log mask `logMask` (eight hex digits).
void WriteRegistryFile(const std::filesystem::path& registryPath,
                       const std::filesystem::path& tempDirectory, const std::string& logMask);

// The lines of the profiler's log among the files in `directory` (the one naming the process);
// empty when there is none.
std::vector<std::string> FindLogLines(const std::filesystem::path& directory);
bool AnyLineContains(const std::vector<std::string>& lines, const std::string& text);
// Fails for every line holding one of the texts.
void ExpectNoLineWith(const std::vector<std::string>& lines,
                      const std::vector<std::string>& texts = {"ERROR: "});

// The child's outcome, and a profile's threads with their first `functions` functions, for
// failure messages.
std::string Describe(const ChildProcess::Result& result);
std::string Describe(const Controller::Profile& profile, size_t functions);
// The program ran to its end within the time, printed `out` and nothing on standard error, and
// exited with `exitCode`.
void ExpectUnchanged(const ChildProcess::Result& result, const std::string& out = ExpectedOutput,
                     int exitCode = ExpectedExitCode);

// A program under one of the profiler's kinds, connected to a controller Session: the registry
// sends the profiler's log to Folder()/log (mask 0), the program may use Folder() for its own
// files. The destructor waits for the program.
class ControlledRun {
public:
    explicit ControlledRun(Controller::SessionOptions options = {});
    ~ControlledRun();

    const std::filesystem::path& Folder() const { return m_Scratch.Path(); }
    Controller::Session& Session() { return *m_pSession; }
    // Starts the program on a thread of its own; the test accepts its connection.
    void Start(ChildProcess child, const std::string& clsid,
               std::chrono::seconds limit = std::chrono::seconds(300));
    // Waits for the program's end, then closes the session.
    ChildProcess::Result Finish();
    std::vector<std::string> LogLines() const;

private:
    ScratchDirectory m_Scratch;
    std::unique_ptr<Controller::Session> m_pSession;
    std::future<ChildProcess::Result> m_Running;
};

}  // namespace SampleRun
