#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "Controller/Session.h"
#include "SampleRun.h"
#include "support/LogFileLines.h"
#include "support/ScratchDirectory.h"

namespace {

constexpr const char* TestKindOne = "{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}";
// Module and thread callbacks.
constexpr const char* LogMask = "09000000";

using SampleRun::AnyLineContains;
using SampleRun::FindLogLines;

TEST(E2ETestProfiler, SampleRunsUnderTheTestKindWithAController) {
    ScratchDirectory scratch;
    const std::filesystem::path logDirectory = scratch.Path() / "log";
    std::filesystem::create_directories(logDirectory);
    const std::filesystem::path registryPath = scratch.Path() / "settings.reg";
    SampleRun::WriteRegistryFile(registryPath, logDirectory, LogMask);

    Controller::Session session;
    const WORD port = session.Listen();
    auto accepting = std::async(std::launch::async, [&session]() -> std::string {
        try {
            session.Accept(60000);
            return std::string();
        } catch (const std::exception& e) {
            return e.what();
        }
    });

    ChildProcess child = SampleRun::Command();
    SampleRun::AddProfilerVariables(&child, TestKindOne, QV_PROFILER_LIBRARY);
    child.SetVariable("QUORVELAN_PROFILER_BRIDGE", "127.0.0.1:" + std::to_string(port));
    child.SetVariable("QUORVELAN_REGISTRY", registryPath.string());
    const ChildProcess::Result result = child.Run(SampleRun::Timeout);
    const std::string acceptError = accepting.get();
    session.Close();

    ASSERT_TRUE(result.started) << result.error;
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    EXPECT_EQ(acceptError, "");
    EXPECT_EQ(SampleRun::ExpectedOutput, result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(SampleRun::ExpectedExitCode, result.exitCode) << SampleRun::Describe(result);

    const std::vector<std::string> lines = FindLogLines(logDirectory);
    ASSERT_FALSE(lines.empty()) << "no log in " << logDirectory;
    EXPECT_TRUE(AnyLineContains(lines, "ProcessGuid={"));
    EXPECT_TRUE(AnyLineContains(lines, "BProf::Initialize memoryThreshold="));
    EXPECT_TRUE(AnyLineContains(lines, "TProf::ReadSettings "));
    EXPECT_TRUE(AnyLineContains(lines, "Sample.dll'"));
    EXPECT_TRUE(AnyLineContains(lines, "System.Private.CoreLib.dll'"));
    EXPECT_TRUE(AnyLineContains(lines, "TProf::ThreadCreated tid="));
    EXPECT_TRUE(AnyLineContains(lines, "BProf::Shutdown Done"));
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("ERROR: "), std::string::npos) << line;
    }
}

}  // namespace
