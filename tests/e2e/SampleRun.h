// Runs the C# sample program under the machine's dotnet, with or without a profiler, and knows
// what it prints when it runs normally.
#pragma once

#include <chrono>
#include <string>

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

// The child's outcome for a failure message.
std::string Describe(const ChildProcess::Result& result);

}  // namespace SampleRun
