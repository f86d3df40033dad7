// The parts of a recording that need no program: the environment a program starts with, which
// processes are profiled, what the host and profiler logs say, and the progress bar.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "AdmissionPolicy.h"
#include "Console.h"
#include "LaunchEnvironment.h"
#include "ProfilerDiagnostics.h"
#include "WorkDirectory.h"

using namespace Qvprof;

namespace {

bool Has(const std::vector<std::string>& entries, const std::string& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

LaunchEnvironment Launch(const std::string& registry) {
    return LaunchEnvironment({"/q/lib/libqvhost.so", "/q/lib/libqvprofiler.so"},
                             "{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}", "127.0.0.1:4000",
                             "/w/host.log", registry);
}

}  // namespace

TEST(QvprofLaunchEnvironment, SetsEveryVariableAndRemovesWhatWouldDefeatThem) {
    std::vector<std::string> notes;
    const std::vector<std::string> entries =
        Launch("/w/settings.reg")
            .Compose({"PATH=/bin", "CORECLR_PROFILER={OTHER}", "CORECLR_PROFILER_PATH_64=/other.so",
                      "DOTNET_EnableDiagnostics=0", "COMPlus_EnableDiagnostics=1",
                      "QUORVELAN_HOST_LOG=stderr"},
                     &notes);
    for (const char* pExpected :
         {"PATH=/bin", "COMPlus_EnableDiagnostics=1", "CORECLR_ENABLE_PROFILING=1",
          "CORECLR_PROFILER={D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}",
          "CORECLR_PROFILER_PATH=/q/lib/libqvhost.so",
          "DOTNET_ProfAPI_ProfilerCompatibilitySetting=EnableV2Profiler",
          "QUORVELAN_PROFILER_BRIDGE=127.0.0.1:4000",
          "QUORVELAN_PROFILER_LIBRARY=/q/lib/libqvprofiler.so", "QUORVELAN_HOST_LOG=/w/host.log",
          "QUORVELAN_REGISTRY=/w/settings.reg", "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT=60000"}) {
        EXPECT_TRUE(Has(entries, pExpected)) << pExpected;
    }
    EXPECT_EQ(11u, entries.size());
    EXPECT_EQ(2u, notes.size());
}

TEST(QvprofLaunchEnvironment, KeepsTheUsersRegistryFileAndTestHostTimeout) {
    std::vector<std::string> notes;
    const std::vector<std::string> entries =
        Launch("/w/settings.reg")
            .Compose({"QUORVELAN_REGISTRY=/mine.reg", "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT=5"},
                     &notes);
    EXPECT_TRUE(Has(entries, "QUORVELAN_REGISTRY=/mine.reg"));
    EXPECT_TRUE(Has(entries, "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT=5"));
    EXPECT_FALSE(Has(entries, "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT=60000"));
    EXPECT_FALSE(Has(entries, "QUORVELAN_REGISTRY=/w/settings.reg"));
    EXPECT_EQ(1u, notes.size());
}

TEST(QvprofLaunchEnvironment, RegistryTextEscapesThePath) {
    EXPECT_EQ(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
        "\"QUORVELAN_PROFILER_TEMP\"=\"/t/a\\\"b\\\\c\"\n"
        "\"QUORVELAN_PROFILER_LOGMASK\"=dword:09000001\n",
        WorkDirectory::RegistryText("/t/a\"b\\c", 0x09000001));
}

TEST(QvprofAdmission, MatchFirstOnlyAndClosedAcrossThreads) {
    AdmissionPolicy policy(true, "Sample\\.dll");
    EXPECT_EQ("its command line does not match --match 'Sample\\.dll'",
              policy.Decide("\"/d/dotnet\" build").reason);
    std::vector<std::thread> threads;
    std::atomic<int> admitted{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back(
            [&] { admitted += policy.Decide("\"/d/dotnet\" /b/Sample.dll").admitted ? 1 : 0; });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, admitted.load());
    EXPECT_EQ(1u, policy.AdmittedCount());

    AdmissionPolicy open(false, "");
    EXPECT_TRUE(open.Decide("a").admitted);
    EXPECT_TRUE(open.Decide("b").admitted);
    open.Close("the recording had ended");
    EXPECT_EQ("the recording had ended", open.Decide("c").reason);
}

TEST(QvprofDiagnostics, GroupsTheSameTextFromSeveralProcesses) {
    const std::vector<Diagnostic> host = ProfilerDiagnostics::FromHostLog(
        "Quorvelan host[10]: can't connect to the controller\n"
        "Quorvelan host[11]: can't connect to the controller\n"
        "Quorvelan host[11]: loading the profiler failed: x\n");
    ASSERT_EQ(2u, host.size());
    EXPECT_EQ("can't connect to the controller", host[0].text);
    EXPECT_EQ(2u, host[0].processCount);
    EXPECT_EQ("host", host[0].source);

    const std::vector<Diagnostic> profiler = ProfilerDiagnostics::FromProfilerLogs(
        {"00004664 0000000000000000 Initialized\n"
         "00004664 0000000000000000 ERROR: Profiler kind is not available in this build\n",
         "00000001 0000000000000000 WARNING: Snapshot hasn't been created\n"
         "00000001 0000000000000000 ERROR: Profiler kind is not available in this build\n"});
    ASSERT_EQ(2u, profiler.size());
    EXPECT_EQ("error: Profiler kind is not available in this build", profiler[0].text);
    EXPECT_EQ(2u, profiler[0].processCount);
    EXPECT_EQ("warning: Snapshot hasn't been created", profiler[1].text);
}

TEST(QvprofConsole, ProgressBarAtItsBoundaries) {
    EXPECT_EQ("[..........]   0%", Console::Bar(0, 200, 10));
    EXPECT_EQ("[#####.....]  50%", Console::Bar(100, 200, 10));
    EXPECT_EQ("[##########] 100%", Console::Bar(200, 200, 10));
    EXPECT_EQ("[##########] 100%", Console::Bar(300, 200, 10));
    EXPECT_EQ("[..........]   0%", Console::Bar(5, 0, 10));
}

TEST(QvprofConsole, TerminalBarIsRedrawnInPlaceAndClearedForAMessage) {
    std::FILE* pFile = std::tmpfile();
    ASSERT_NE(nullptr, pFile);
    {
        Console console(pFile, true, false);
        console.Progress("1/0", "app: writing", 50, 200);
        console.Progress("1/0", "app: writing", 200, 200);
        console.Info("saved");
        console.ProgressDone("1/0");
    }
    std::rewind(pFile);
    char buffer[1024] = {};
    const std::string text(buffer, std::fread(buffer, 1, sizeof(buffer) - 1, pFile));
    std::fclose(pFile);
    const std::string first = "qvprof: app: writing " + Console::Bar(50, 200, 30);
    const std::string second = "qvprof: app: writing " + Console::Bar(200, 200, 30);
    const std::string blank = "\r" + std::string(first.size(), ' ') + "\r";
    EXPECT_EQ(first + blank + second + blank + "qvprof: saved\n", text);
}
