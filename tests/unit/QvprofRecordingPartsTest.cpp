// The parts of a recording that need no program: the handshake answers the options give, the
// environment a program starts with, which processes are profiled, what the host and profiler logs
// say, the progress bar, and the snapshot files' names.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "AdmissionPolicy.h"
#include "CommandLine.h"
#include "Console.h"
#include "Controller/ProtocolConstants.h"
#include "LaunchEnvironment.h"
#include "ProfilerDiagnostics.h"
#include "SessionSettings.h"
#include "SnapshotNamer.h"
#include "WorkDirectory.h"
#include "support/ScratchDirectory.h"

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

    // The user's own registry file and test host timeout stay.
    notes.clear();
    const std::vector<std::string> kept =
        Launch("/w/settings.reg")
            .Compose({"QUORVELAN_REGISTRY=/mine.reg", "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT=5"},
                     &notes);
    EXPECT_TRUE(Has(kept, "QUORVELAN_REGISTRY=/mine.reg"));
    EXPECT_TRUE(Has(kept, "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT=5"));
    EXPECT_FALSE(Has(kept, "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT=60000"));
    EXPECT_FALSE(Has(kept, "QUORVELAN_REGISTRY=/w/settings.reg"));
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

    // The second process already sent its warning over the connection; the same text in a
    // process that never connected is still reported.
    const std::vector<Diagnostic> profiler = ProfilerDiagnostics::FromProfilerLogs(
        {{"00004664 0000000000000000 Initialized\n"
          "00004664 0000000000000000 ERROR: Profiler kind is not available in this build\n"
          "00004664 0000000000000000 WARNING: Profiler kind is not available in this build\n",
          {}},
         {"00000001 0000000000000000 WARNING: Snapshot hasn't been created\n"
          "00000001 0000000000000000 WARNING: Can't suspend runtime\n"
          "00000001 0000000000000000 ERROR: Profiler kind is not available in this build\n",
          {"Can't suspend runtime"}},
         {"00000002 0000000000000000 WARNING: Can't suspend runtime\n", {}}});
    std::vector<std::string> lines;
    for (const Diagnostic& d : profiler) {
        lines.push_back((d.error ? "E " : "W ") + d.text + " x" + std::to_string(d.processCount));
    }
    EXPECT_THAT(lines, testing::ElementsAre("E Profiler kind is not available in this build x2",
                                            "W Profiler kind is not available in this build x1",
                                            "W Snapshot hasn't been created x1",
                                            "W Can't suspend runtime x1"));
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

TEST(QvprofSessionSettings, MapsOptionsOntoTheSettingsMessage) {
    ProfilingOptions options;
    options.mode = ProfilerMode::Tracing;
    options.timer = TimerKind::ThreadTime;
    options.precise = true;
    options.inlining = true;
    options.mergeThreads = true;
    Controller::SessionOptions session = SessionSettings::Build(options, "qvprof x");
    EXPECT_EQ(Controller::ControlKindManual, session.controlKind);
    EXPECT_EQ(Controller::SnapshotTypeBridgeStream, session.snapshotType);
    options.snapshotFiles = true;
    EXPECT_EQ(Controller::SnapshotTypeFileSystem,
              SessionSettings::Build(options, "").snapshotType);
    EXPECT_EQ("qvprof x", session.controllerText);
    EXPECT_TRUE(session.performance.allowInlining);
    EXPECT_EQ(1, session.performance.measureKind);
    EXPECT_TRUE(session.performance.precision);
    EXPECT_TRUE(session.performance.mergeThreadsByName);

    // Starting paused or under the program's control opens no snapshot at start.
    for (const auto& [paused, api, controlKind, openAtStart] :
         {std::tuple{false, false, Controller::ControlKindManual, true},
          std::tuple{true, false, Controller::ControlKindManual, false},
          std::tuple{false, true, Controller::ControlKindApi, false}}) {
        ProfilingOptions memory;
        memory.startPaused = paused;
        memory.apiControl = api;
        memory.mode = ProfilerMode::Memory;
        memory.allocationsFactor = 50;
        memory.trackFinalizers = true;
        session = SessionSettings::Build(memory, "");
        EXPECT_EQ(controlKind, session.controlKind);
        EXPECT_EQ(openAtStart, session.performance.startAtInitialization);
        EXPECT_EQ(openAtStart, session.memory.snapshotAtStart);
        EXPECT_EQ(50u, session.memory.allocationsFactor);
        EXPECT_TRUE(session.memory.trackFinalizers);
    }
}

// Tracing counts every call unless told to let the runtime inline; the last flag given wins.
TEST(QvprofCommandLine, InliningIsOffUnlessAsked) {
    const struct {
        std::vector<std::string> flags;
        bool inlining;
    } cases[] = {{{}, false},
                 {{"--inlining"}, true},
                 {{"--no-inlining"}, false},
                 {{"--inlining", "--no-inlining"}, false}};
    for (const auto& c : cases) {
        std::vector<std::string> words = {"qvprof", "record"};
        words.insert(words.end(), c.flags.begin(), c.flags.end());
        words.insert(words.end(), {"--", "dotnet", "App.dll"});
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        const CommandLine::Parsed parsed =
            CommandLine::Parse(static_cast<int>(argv.size()), argv.data());
        ASSERT_FALSE(parsed.exit) << words.size();
        EXPECT_EQ(c.inlining, parsed.profiling.inlining) << c.flags.size();
    }
}

TEST(QvprofSessionSettings, RefusesOptionsOfAnotherKindAndContradictions) {
    const struct {
        void (*change)(ProfilingOptions&);
        const char* refusal;  // "" when accepted
    } cases[] = {
        {[](ProfilingOptions&) {}, ""},
        {[](ProfilingOptions& o) {
             o.mode = ProfilerMode::Test, o.precise = true, o.allocationsFactor = 3;
         },
         ""},
        {[](ProfilingOptions& o) { o.allocationsFactor = 10; }, "--allocations, --finalizers"},
        {[](ProfilingOptions& o) { o.mode = ProfilerMode::Memory, o.precise = true; },
         "not memory"},
        {[](ProfilingOptions& o) { o.mode = ProfilerMode::Sampling, o.inlining = true; },
         "the sampling kind has none"},
        {[](ProfilingOptions& o) {
             o.mode = ProfilerMode::Memory, o.apiControl = o.dumpAtEnd = true;
         },
         "with --api"},
        {[](ProfilingOptions& o) { o.apiControl = o.startPaused = true; }, "exclude each other"},
        {[](ProfilingOptions& o) { o.match = "a(b"; }, "not a valid regular"},
    };
    for (const auto& c : cases) {
        ProfilingOptions options;
        c.change(options);
        const std::string refusal = SessionSettings::Check(options);
        EXPECT_EQ(*c.refusal == 0, refusal.empty()) << refusal;
        EXPECT_NE(std::string::npos, refusal.find(c.refusal)) << refusal;
    }

    // Sampled allocations with nothing that takes a dump draw a warning, not a refusal.
    ProfilingOptions sampled;
    sampled.mode = ProfilerMode::Memory, sampled.allocationsFactor = 10;
    EXPECT_TRUE(SessionSettings::Check(sampled).empty());
    EXPECT_FALSE(SessionSettings::Advise(sampled).empty());
    sampled.dumpAfterSeconds = {1};
    EXPECT_TRUE(SessionSettings::Advise(sampled).empty());

    // Each mode loads its own class id, and its name parses back.
    EXPECT_EQ("{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}",
              ProfilerModes::ClassId(ProfilerMode::Tracing));
    EXPECT_EQ("{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}",
              ProfilerModes::ClassId(ProfilerMode::Sampling));
    EXPECT_EQ("{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}",
              ProfilerModes::ClassId(ProfilerMode::Memory));
    EXPECT_EQ("{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}", ProfilerModes::ClassId(ProfilerMode::Test));
    for (const std::string& name : ProfilerModes::Names()) {
        EXPECT_EQ(name, ProfilerModes::Name(*ProfilerModes::Parse(name)));
    }
    EXPECT_FALSE(ProfilerModes::Parse("Tracing"));
}

TEST(QvprofNaming, ProgramNameFromTheReportedCommandLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"/usr/share/dotnet/dotnet\" /w/bin/Sample.dll", "Sample"},
        {"\"/usr/share/dotnet/dotnet\" build --no-incremental", "dotnet-build"},
        {"\"/usr/share/dotnet/dotnet\" exec --runtimeconfig /a/x.json --depsfile /a/x.deps.json "
         "/sdk/MSBuild.dll /nodemode:1",
         "MSBuild"},
        {"\"/usr/share/dotnet/dotnet\" exec \"/my dir/App Name.dll\" -x", "App_Name"},
        {"\"/usr/share/dotnet/dotnet\"", "dotnet"},
        {"\"/sdk/Roslyn/bincore/csc\" /noconfig @/tmp/x.rsp", "csc"},
        {"\"C:\\apps\\Tool.exe\" run", "Tool"},
        {"\"/opt/.hidden\" a", "hidden"},
        {"", "process"},
    };
    for (const auto& [commandLine, expected] : cases) {
        EXPECT_EQ(expected, SnapshotNamer::ProgramName(commandLine)) << commandLine;
    }
    EXPECT_EQ(60u, SnapshotNamer::ProgramName("\"/" + std::string(100, 'a') + "\"").size());
}

TEST(QvprofNaming, NamesByProcessNeverReusedNorOverwritingAFile) {
    ScratchDirectory scratch;
    std::ofstream(scratch.Path() / "Sample-7.qvsnap") << "earlier run";
    SnapshotNamer namer(scratch.Path());
    EXPECT_EQ(scratch.Path() / "Sample-7-2.qvsnap", namer.Reserve("Sample", 7));
    EXPECT_EQ(scratch.Path() / "Sample-7-3.qvsnap", namer.Reserve("Sample", 7));
    EXPECT_EQ(scratch.Path() / "Sample-8.qvsnap", namer.Reserve("Sample", 8));
    EXPECT_EQ(scratch.Path() / "csc-7.qvsnap", namer.Reserve("csc", 7));
}
