// Runs the C# sample program under the machine's dotnet, with or without a profiler, and knows
// what it prints when it runs normally.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace SampleRun {

// The sample's standard output and exit code (see the comment at the top of its Program.cs).
extern const char* const ExpectedOutput;
constexpr int ExpectedExitCode = 7;

constexpr auto Timeout = std::chrono::seconds(120);

// "dotnet <build>/apps/Sample/Sample.dll" with every profiler-loading variable removed from the
// inherited environment, so that only what a test sets applies.
ChildProcess Command();

// The variables that make the runtime load libqvhost.so for the profiler class `clsid`, with
// `profilerLibrary` as the library the host loads and version-2 profilers allowed.
void AddProfilerVariables(ChildProcess* pChild, const std::string& clsid,
                          const std::string& profilerLibrary);

// Writes a registry file that sends the profiler's temporary files (its log among them) to
// `tempDirectory` with the log mask `logMask` (eight hex digits).
void WriteRegistryFile(const std::filesystem::path& registryPath,
                       const std::filesystem::path& tempDirectory, const std::string& logMask);

// The lines of the profiler's log among the files in `directory` (the one naming the process);
// empty when there is none.
std::vector<std::string> FindLogLines(const std::filesystem::path& directory);

bool AnyLineContains(const std::vector<std::string>& lines, const std::string& text);

// The child's outcome for a failure message.
std::string Describe(const ChildProcess::Result& result);

}  // namespace SampleRun
