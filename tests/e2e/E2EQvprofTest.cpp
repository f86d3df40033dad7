// The built qvprof program as users run it: recording the sample and a whole `dotnet build` in
// the real runtime, reporting a snapshot file, and its answers to bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Bridge/FileSnapShotStorage.h"
#include "Controller/ConnectionListener.h"
#include "Controller/FileSnapshotReader.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SnapshotFile.h"
#include "MetadataOracle.h"
#include "Profiler/ClassGatherer.h"
#include "Profiler/EnvironmentGatherer.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "Profiler/ModulePathGatherer.h"
#include "SampleRun.h"
#include "Util/Utf8.h"
#include "support/FrameworkAssemblies.h"
#include "support/ProgressRecorder.h"
#include "support/ScratchDirectory.h"
#include "support/TestRuntime.h"

namespace {

using Clock = std::chrono::steady_clock;

// qvprof with an environment free of profiler variables, as a user's shell has it.
ChildProcess Qvprof(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), QV_QVPROF);
    ChildProcess child(std::move(arguments));
    child.RemoveVariablesStartingWith("CORECLR_");
    child.RemoveVariablesStartingWith("QUORVELAN_");
    child.RemoveVariablesStartingWith("DOTNET_ProfAPI");
    child.SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
    child.SetVariable("DOTNET_NOLOGO", "1");
#ifdef QV_ASAN_RUNTIME
    // The programs qvprof starts inherit this, so the runtime can load the instrumented libraries;
    // the runtime's own allocations are not ours to report as leaks.
    child.SetVariable("LD_PRELOAD", QV_ASAN_RUNTIME);
    child.SetVariable("ASAN_OPTIONS",
                      "detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:"
                      "allow_user_segv_handler=1:abort_on_error=1");
#endif
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

size_t Count(const std::string& text, const std::regex& pattern) {
    return static_cast<size_t>(std::distance(
        std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
}

// A snapshot as the profiler writes it for a process that loaded the sample: environment record,
// metadata, module paths and class records from the real gatherers over the real module files,
// then kept in a snapshot file the way qvprof keeps one it received.
void WriteSampleSnapshot(const std::filesystem::path& path) {
    const std::filesystem::path framework = FindFrameworkDirectory();
    ASSERT_FALSE(framework.empty()) << "no .NET shared framework";
    const MetadataOracle::Output sample = MetadataOracle::Run(QV_SAMPLE_DLL);
    const MetadataOracle::Output coreLib = MetadataOracle::Run("corelib");

    TestRuntime runtime;
    const ModuleID sampleModule = runtime.AddModule({WidePath(QV_SAMPLE_DLL)});
    const ModuleID coreModule =
        runtime.AddModule({WidePath(framework / "System.Private.CoreLib.dll")});
    MetaDataGatherer metaData;
    ModulePathGatherer paths(&metaData);
    ClassGatherer classes(&metaData);
    metaData.Create();
    paths.Create(&runtime);
    classes.Create(&runtime);
    for (ModuleID module : {sampleModule, coreModule}) {
        metaData.LoadModule(&runtime, module);
        paths.LoadModule(module);
    }
    const ClassID object =
        runtime.AddClass(coreModule, MetadataOracle::TokenOf(coreLib, "System.Object"));
    const ClassID number =
        runtime.AddClass(coreModule, MetadataOracle::TokenOf(coreLib, "System.Int32"), object);
    const ClassID worker =
        runtime.AddClass(sampleModule, MetadataOracle::TokenOf(sample, "Sample.Worker"), object);
    for (ClassID cls : {runtime.AddArrayClass(number, 1, ELEMENT_TYPE_I4),
                        runtime.AddArrayClass(worker, 1), worker, number, object}) {
        classes.CollectClassId(cls);
    }

    EnvironmentGatherer environment;
    environment.Gather({1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, 2, EnvironmentGatherer::RuntimeCore,
                       10, 0, 0, 0);
    FileSnapShotStorage storage;
    const GUID sequence = {9, 8, 7, {6, 5, 4, 3, 2, 1, 0, 0}};
    storage.Create(nullptr, Controller::MemorySnapshotMagic, 0, sequence, 1);
    environment.Write(storage, "qvprof e2e", 0, sequence, 1);
    ProgressRecorder metaDataProgress, pathProgress, classProgress;
    metaData.Write(&metaDataProgress, &storage);
    paths.Write(&pathProgress, &storage);
    classes.Write(&classProgress, &storage);
    const std::string indexPath = ToUtf8(storage.GetIndexPath());
    storage.Close();
    Controller::Snapshot snapshot = Controller::FileSnapshotReader::Read(indexPath, 1 << 30);
    Controller::FileSnapshotReader::Remove(indexPath);
    snapshot.sequence = sequence;
    snapshot.sequenceNumber = 1;
    Controller::SnapshotFile::Write(path, snapshot);
    classes.Close();
    paths.Close();
    metaData.Close();
}

}  // namespace

TEST(E2EQvprof, RecordsTheSamplePassingItsOutputAndExitCodeThrough) {
    ScratchDirectory scratch;
    const ChildProcess::Result result =
        Qvprof({"record", "--mode", "test", "-o", scratch.Path().string(), "--", QV_DOTNET,
                QV_SAMPLE_DLL})
            .Run(SampleRun::Timeout);
    ASSERT_TRUE(result.started) << result.error;
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    EXPECT_EQ(SampleRun::ExpectedExitCode, result.exitCode) << SampleRun::Describe(result);
    EXPECT_EQ(SampleRun::ExpectedOutput, result.out);
    EXPECT_NE(std::string::npos, result.err.find("qvprof: profiling Sample (pid ")) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("1 process connected, 1 profiled, 0 snapshots"))
        << result.err;
    EXPECT_NE(std::string::npos, result.err.find("no snapshot (the test kind makes none)"));
    // The test kind builds no snapshot, so none may appear.
    EXPECT_TRUE(SnapshotFiles(scratch.Path()).empty());
}

// The sample recorded with the tracing and the memory kinds: the reports show what its source
// implies. And the tracing kind measuring only what the program's own API calls enclose.
TEST(E2EQvprof, ReportsOfEachKindShowWhatTheSourceImplies) {
    struct Case {
        std::vector<std::string> record;
        std::vector<std::string> view;
        std::vector<std::string> lines;  // patterns the report must hold
    };
    const Case cases[] = {
        {{"--mode", "tracing", "--", QV_DOTNET, QV_SAMPLE_DLL},
         {"--view", "hot"},
         {R"( 43781  Sample\.Worker::Fib \(recursive\))", R"( 20000  Sample\.Allocator::MakeItem)",
          R"( 3  Sample\.Worker::Compute)", R"( 1  Sample\.Faults::Fail)"}},
        // The dump comes while the sample holds its items, even where start-up is slow (the
        // sanitizer build).
        {{"--mode", "memory", "--allocations", "100", "--dump-after", "3", "--", QV_DOTNET,
          QV_SAMPLE_DLL, "--hold-ms", "8000"},
         {"--view", "heap", "--view", "allocations"},
         {R"(Heap dump 1 of 1 )", R"( 200\d\d  System\.Byte\[\])",
          R"(  200 allocations, [\d.]+%\n +Sample\.Allocator::MakeItem\n +Sample\.Allocator::Fill)"}},
    };
    for (const Case& c : cases) {
        ScratchDirectory scratch;
        std::vector<std::string> arguments = {"record", "-q", "-o", scratch.Path().string()};
        arguments.insert(arguments.end(), c.record.begin(), c.record.end());
        const ChildProcess::Result result = Qvprof(arguments).Run(SampleRun::Timeout);
        ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
        EXPECT_EQ(SampleRun::ExpectedExitCode, result.exitCode) << SampleRun::Describe(result);
        EXPECT_EQ(SampleRun::ExpectedOutput, result.out);
        const std::vector<std::filesystem::path> files = SnapshotFiles(scratch.Path());
        ASSERT_EQ(1u, files.size()) << result.err;
        std::vector<std::string> report = {"report", "--limit", "0"};
        report.insert(report.end(), c.view.begin(), c.view.end());
        report.push_back(files[0].string());
        const ChildProcess::Result shown = Qvprof(report).Run(SampleRun::Timeout);
        ASSERT_EQ(0, shown.exitCode) << SampleRun::Describe(shown);
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(std::regex_search(shown.out, std::regex(line))) << line << "\n"
                                                                        << shown.out;
        }
    }

    // Measured through the API between Start and Stop: the hot and the cold function are called
    // once each per round, so their counts match but for rounds the window cut.
    ScratchDirectory scratch;
    const ChildProcess::Result api =
        Qvprof({"record", "-q", "--mode", "tracing", "--api", "-o", scratch.Path().string(), "--",
                QV_DOTNET, QV_SAMPLING_LOAD_DLL, "api", "2"})
            .Run(SampleRun::Timeout);
    ASSERT_EQ(3, api.exitCode) << SampleRun::Describe(api);
    EXPECT_NE(std::string::npos, api.out.find("api active=0 begin=0 start=0 stop=0 save=0"))
        << api.out;
    const std::vector<std::filesystem::path> files = SnapshotFiles(scratch.Path());
    ASSERT_EQ(1u, files.size()) << api.err;
    const ChildProcess::Result shown =
        Qvprof({"report", "--limit", "0", "--view", "hot", files[0].string()})
            .Run(SampleRun::Timeout);
    std::smatch hot, cold;
    ASSERT_TRUE(
        std::regex_search(shown.out, hot, std::regex(R"( (\d+)  SamplingLoad\.Work::Hot\n)")))
        << shown.out;
    ASSERT_TRUE(
        std::regex_search(shown.out, cold, std::regex(R"( (\d+)  SamplingLoad\.Work::Cold\n)")));
    // Each of the four threads (main and three workers) may have its window cut between the two.
    const long long hotCalls = std::stoll(hot[1]), coldCalls = std::stoll(cold[1]);
    EXPECT_GT(hotCalls, 0);
    EXPECT_LE(std::llabs(hotCalls - coldCalls), 4) << shown.out;
}

TEST(E2EQvprof, ReportNamesTheProcessModulesAndClassesOfASnapshot) {
    ScratchDirectory scratch;
    const std::filesystem::path file = scratch.Path() / "Sample-1.qvsnap";
    WriteSampleSnapshot(file);
    ASSERT_FALSE(HasFatalFailure());

    const ChildProcess::Result result =
        Qvprof({"report", "--limit", "0", file.string()}).Run(SampleRun::Timeout);
    ASSERT_EQ(0, result.exitCode) << SampleRun::Describe(result);
    const std::string& report = result.out;
    EXPECT_NE(std::string::npos, report.find("memory, number 1 of its process")) << report;
    EXPECT_NE(std::string::npos, report.find("{00000009-0008-0007-0605-040302010000} #1, complete, "
                                             "written to files on the device"));
    EXPECT_NE(std::string::npos, report.find("e2e_tests")) << "the process's command line";
    EXPECT_NE(std::string::npos, report.find("core 10.0.0.0, profiling interface 2"));
    EXPECT_NE(std::string::npos, report.find("Recorded   qvprof e2e"));
    EXPECT_NE(std::string::npos, report.find("Modules (2):"));
    EXPECT_NE(std::string::npos, report.find(QV_SAMPLE_DLL));
    EXPECT_NE(std::string::npos, report.find("System.Private.CoreLib.dll"));
    EXPECT_NE(std::string::npos, report.find("Classes (5):"));
    for (const char* pClass : {"Sample.Worker[]", "System.Int32[]", "System.Object"}) {
        EXPECT_EQ(1u, Count(report, std::regex("\n  " +
                                               std::regex_replace(pClass, std::regex(R"([.\[\]])"),
                                                                  R"(\$&)") +
                                               " +[A-Za-z.]+\\.dll\n")))
            << pClass << "\n"
            << report;
    }
    // One class of the sample, four of the core library among the recorded ones.
    EXPECT_EQ(1u, Count(report, std::regex(R"(\n +\d+ +\d+ +\d+ +1 +\S*Sample\.dll)"))) << report;
    EXPECT_EQ(1u, Count(report, std::regex(R"(\n +\d+ +\d+ +\d+ +2 +\S*CoreLib\.dll)"))) << report;
}

TEST(E2EQvprof, RecordsEveryProcessOfADotnetBuildInAboutItsOwnTime) {
    ScratchDirectory scratch;
    const std::filesystem::path project = scratch.Path() / "Hello";
    std::filesystem::create_directories(project);
    std::ofstream(project / "Hello.csproj")
        << "<Project Sdk=\"Microsoft.NET.Sdk\"><PropertyGroup><OutputType>Exe</OutputType>"
           "<TargetFramework>net10.0</TargetFramework></PropertyGroup></Project>\n";
    std::ofstream(project / "Program.cs") << "System.Console.WriteLine(\"hello\");\n";
    const std::vector<std::string> build = {QV_DOTNET,
                                            "build",
                                            (project / "Hello.csproj").string(),
                                            "--no-incremental",
                                            "--disable-build-servers",
                                            "-nologo"};

    ChildProcess plain(build);
    plain.SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
    plain.RemoveVariablesStartingWith("CORECLR_");
    const auto plainStart = Clock::now();
    const ChildProcess::Result plainResult = plain.Run(SampleRun::Timeout);
    const auto plainTime = Clock::now() - plainStart;
    ASSERT_EQ(0, plainResult.exitCode) << SampleRun::Describe(plainResult);

    std::vector<std::string> arguments = {"record", "--mode", "test", "-o", scratch.Path().string(),
                                          "--"};
    arguments.insert(arguments.end(), build.begin(), build.end());
    const auto recordStart = Clock::now();
    const ChildProcess::Result result = Qvprof(arguments).Run(SampleRun::Timeout);
    const auto recordTime = Clock::now() - recordStart;
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    EXPECT_EQ(0, result.exitCode) << SampleRun::Describe(result);
    EXPECT_NE(std::string::npos, result.out.find("Build succeeded")) << result.out;

    std::smatch counts;
    ASSERT_TRUE(std::regex_search(result.err, counts,
                                  std::regex(R"((\d+) process(es)? connected, (\d+) profiled)")))
        << result.err;
    const int connected = std::stoi(counts[1]);
    EXPECT_GE(connected, 2) << "the build itself and the compiler\n" << result.err;
    EXPECT_EQ(counts[1], counts[3]) << "every process profiled\n" << result.err;
    EXPECT_EQ(1u, Count(result.err, std::regex(R"(\n  dotnet-build \(pid \d+\): profiled)")));
    EXPECT_EQ(1u, Count(result.err, std::regex(R"(\n  csc \(pid \d+\): profiled)")));
    // Each profiled process pays the profiler's start and stop; the build is not held up beyond.
    // (Not in the sanitizer build, where the preloaded sanitizer runtime slows every process.)
    const double plainSeconds = std::chrono::duration<double>(plainTime).count();
    const double recordSeconds = std::chrono::duration<double>(recordTime).count();
#ifndef QV_ASAN_RUNTIME
    EXPECT_LT(recordSeconds, 1.5 * plainSeconds + 0.5 * connected + 5)
        << "plain " << plainSeconds << " s, recorded " << recordSeconds << " s";
#endif
    RecordProperty("plain_seconds", std::to_string(plainSeconds));
    RecordProperty("recorded_seconds", std::to_string(recordSeconds));

    // `dotnet run` of the built project: the program's own process is a child of the command's,
    // and is profiled with its output passing through.
    const ChildProcess::Result run =
        Qvprof({"record", "--mode", "sampling", "-o", scratch.Path().string(), "--", QV_DOTNET,
                "run", "--no-build", "--project", (project / "Hello.csproj").string()})
            .Run(SampleRun::Timeout);
    ASSERT_FALSE(run.timedOut) << SampleRun::Describe(run);
    EXPECT_EQ(0, run.exitCode) << SampleRun::Describe(run);
    EXPECT_EQ("hello\n", run.out);
    EXPECT_EQ(1u, Count(run.err, std::regex(R"(\n  Hello \(pid \d+\): \S+Hello-\d+\.qvsnap)")))
        << run.err;

    // With --first-only the other processes are refused at once and build unprofiled.
    arguments.insert(arguments.begin() + 1, "--first-only");
    const ChildProcess::Result first = Qvprof(arguments).Run(SampleRun::Timeout);
    ASSERT_FALSE(first.timedOut) << SampleRun::Describe(first);
    EXPECT_EQ(0, first.exitCode) << SampleRun::Describe(first);
    EXPECT_NE(std::string::npos, first.err.find(", 1 profiled,")) << first.err;
    EXPECT_NE(std::string::npos,
              first.err.find("not profiled: --first-only: another process is profiled"))
        << first.err;
}

// A test project as users have one: xunit from the machine's package folder, the tests run by
// `dotnet test` in a test host process, with code emitted at run time (modules built in memory).
TEST(E2EQvprof, SamplesEveryProcessOfADotnetTestRunAndFindsTheTestedCode) {
    ScratchDirectory scratch;
    const std::filesystem::path project = scratch.Path() / "Calc";
    std::filesystem::create_directories(project);
    std::ofstream(project / "Calc.csproj")
        << "<Project Sdk=\"Microsoft.NET.Sdk\"><PropertyGroup>"
           "<TargetFramework>net10.0</TargetFramework><IsPackable>false</IsPackable>"
           "</PropertyGroup><ItemGroup>"
           "<PackageReference Include=\"Microsoft.NET.Test.Sdk\" Version=\"18.0.1\" />"
           "<PackageReference Include=\"xunit\" Version=\"2.9.3\" />"
           "<PackageReference Include=\"xunit.runner.visualstudio\" Version=\"3.1.5\" />"
           "</ItemGroup></Project>\n";
    std::ofstream(project / "PrimeTests.cs")
        << "namespace Calc;\n"
           "public static class Primes {\n"
           "  public static int Count(int limit) { int c = 0;"
           " for (int n = 2; n < limit; n++) if (IsPrime(n)) c++; return c; }\n"
           "  public static bool IsPrime(int n) {"
           " for (int d = 2; d * d <= n; d++) if (n % d == 0) return false; return true; }\n"
           "}\n"
           "public class PrimeTests {\n"
           "  [Xunit.Fact] public void CountsPrimes() => Xunit.Assert.Equal(148933,"
           " Primes.Count(2000000));\n"
           "  [Xunit.Fact] public void Fails() => Xunit.Assert.True(Primes.IsPrime(91));\n"
           "}\n";
    const std::string csproj = (project / "Calc.csproj").string();
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{QV_DOTNET, "restore", csproj, "--source", "/opt/nuget/packages"},
          std::vector<std::string>{QV_DOTNET, "build", csproj, "--no-restore", "-nologo"}}) {
        ChildProcess plain(step);
        plain.SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
        plain.RemoveVariablesStartingWith("CORECLR_");
        const ChildProcess::Result prepared = plain.Run(SampleRun::Timeout);
        ASSERT_EQ(0, prepared.exitCode) << SampleRun::Describe(prepared);
    }

    const std::filesystem::path out = scratch.Path() / "profiles";
    const ChildProcess::Result result =
        Qvprof({"record", "--mode", "sampling", "-o", out.string(), "--", QV_DOTNET, "test", csproj,
                "--no-build", "--nologo"})
            .Run(SampleRun::Timeout);
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    // One test fails on purpose: dotnet test's own exit code comes through.
    EXPECT_EQ(1, result.exitCode) << SampleRun::Describe(result);
    EXPECT_NE(std::string::npos, result.out.find("Failed:     1, Passed:     1")) << result.out;
    EXPECT_EQ(std::string::npos, result.err.find("incomplete")) << result.err;
    EXPECT_EQ(std::string::npos, result.err.find("Can't open file")) << result.err;

    bool found = false;
    for (const std::filesystem::path& file : SnapshotFiles(out)) {
        if (file.filename().string().rfind("testhost-", 0) != 0) {
            continue;
        }
        const ChildProcess::Result report =
            Qvprof({"report", "--view", "hot", "--limit", "0", file.string()})
                .Run(SampleRun::Timeout);
        ASSERT_EQ(0, report.exitCode) << SampleRun::Describe(report);
        found = report.out.find("Calc.Primes::IsPrime") != std::string::npos;
        EXPECT_TRUE(found) << report.out;
    }
    EXPECT_TRUE(found) << "no snapshot of the test host\n" << result.err;
}

// A sampling snapshot of the sampling load, measured through its own API calls, exported in every
// format: the hot function shows with about three times the cold one's own time, and the pprof
// file opens in the Go toolchain's pprof.
TEST(E2EQvprof, ExportsARecordedSamplingSnapshotForOtherTools) {
    ScratchDirectory scratch;
    const ChildProcess::Result recorded =
        Qvprof({"record", "--mode", "sampling", "--api", "-o", scratch.Path().string(), "--",
                QV_DOTNET, QV_SAMPLING_LOAD_DLL, "api", "2"})
            .Run(SampleRun::Timeout);
    ASSERT_FALSE(recorded.timedOut) << SampleRun::Describe(recorded);
    EXPECT_EQ(3, recorded.exitCode) << recorded.err;
    const std::vector<std::filesystem::path> files = SnapshotFiles(scratch.Path());
    ASSERT_EQ(1u, files.size()) << recorded.err;

    auto exported = [&](const std::string& format) {
        const std::filesystem::path out = scratch.Path() / ("export." + format);
        const ChildProcess::Result result =
            Qvprof({"export", files[0].string(), "--format", format, "-o", out.string()})
                .Run(SampleRun::Timeout);
        EXPECT_EQ(0, result.exitCode) << format << ": " << result.err;
        std::ifstream in(out, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // Own microseconds of the call paths that end in Hot and in Cold.
    std::istringstream lines(exported("collapsed"));
    uint64_t hot = 0, cold = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.rfind(' ');
        const std::string stack = line.substr(0, space);
        const uint64_t value = std::stoull(line.substr(space + 1));
        hot += stack.ends_with(";SamplingLoad.Work::Hot;SamplingLoad.Work::Spin") ? value : 0;
        cold += stack.ends_with(";SamplingLoad.Work::Cold;SamplingLoad.Work::Spin") ? value : 0;
    }
    // Three units of work against one; waits and the sampling's spread keep it from being exact.
    ASSERT_GT(cold, 0u);
    EXPECT_GT(static_cast<double>(hot) / static_cast<double>(cold), 1.5) << hot << " " << cold;
    EXPECT_LT(static_cast<double>(hot) / static_cast<double>(cold), 5.0) << hot << " " << cold;

    const nlohmann::json speedscope = nlohmann::json::parse(exported("speedscope"));
    std::vector<std::string> threads;
    for (const nlohmann::json& profile : speedscope["profiles"]) {
        threads.push_back(profile["name"]);
    }
    for (const char* pWorker : {"\"worker-1\"", "\"worker-2\"", "\"worker-3\""}) {
        EXPECT_TRUE(std::any_of(threads.begin(), threads.end(), [&](const std::string& name) {
            return name.ends_with(pWorker);
        })) << pWorker;
    }
    EXPECT_NE(std::string::npos, exported("html").find("SamplingLoad.Work::Hot"));
    if (std::filesystem::exists("/usr/bin/chromium")) {
        // The page as the browser leaves it once its script ran: every frame drawn, none failed.
        ChildProcess browser({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                              "--disable-quic", "--no-first-run", "--disable-background-networking",
                              "--disable-component-update", "--disable-sync",
                              "--user-data-dir=" + (scratch.Path() / "chromium").string(),
                              "--window-size=1300,700", "--dump-dom",
                              "file://" + (scratch.Path() / "export.html").string()});
        const ChildProcess::Result page = browser.Run(SampleRun::Timeout);
        EXPECT_EQ(0, page.exitCode) << page.err;
        std::smatch frames;
        ASSERT_TRUE(std::regex_search(page.out, frames, std::regex("data-frames=\"([0-9]+)\"")))
            << page.out.substr(0, 2000);
        EXPECT_GT(std::stoi(frames[1]), 5);
        EXPECT_NE(std::string::npos, page.out.find(">SamplingLoad.Work::Hot</div>"));
    }
    EXPECT_NE(std::string::npos, exported("chrome").find("\"SamplingLoad.Work::Cold\""));
    exported("pprof");
    if (std::system("go version >/dev/null 2>&1") == 0) {
        ChildProcess pprof(
            {"go", "tool", "pprof", "-top", (scratch.Path() / "export.pprof").string()});
        pprof.SetVariable("HOME", scratch.Path().string());
        const ChildProcess::Result top = pprof.Run(SampleRun::Timeout);
        EXPECT_EQ(0, top.exitCode) << top.err;
        EXPECT_NE(std::string::npos, top.out.find("SamplingLoad.Work::Spin")) << top.out;
    }
}

TEST(E2EQvprof, BadInputGetsAClearMessageAndAFailingExitCode) {
    ScratchDirectory scratch;
    const std::filesystem::path text = scratch.Path() / "notes.txt";
    std::ofstream(text) << "not a snapshot\n";
    Controller::Snapshot snapshot;
    snapshot.complete = true;
    snapshot.sections.push_back({0, 4, true, std::vector<BYTE>(100, 7)});
    const std::filesystem::path whole = scratch.Path() / "whole.qvsnap";
    Controller::SnapshotFile::Write(whole, snapshot);
    const std::filesystem::path truncated = scratch.Path() / "truncated.qvsnap";
    std::filesystem::copy_file(whole, truncated);
    std::filesystem::resize_file(truncated, std::filesystem::file_size(whole) - 10);
    Controller::ConnectionListener busy;
    const std::string busyPort = std::to_string(busy.Listen(0));

    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {{"report", (scratch.Path() / "missing.qvsnap").string()}, 1, "There is no file"},
        {{"report", truncated.string()},
         1,
         "is damaged: section 0 (offset 77, 100 bytes) reaches beyond the end"},
        {{"report", text.string()}, 1, "is not a snapshot file"},
        {{"report", scratch.Path().string()}, 1, "is a folder"},
        {{"report", "--view", "nothing", whole.string()}, 2, "--view"},
        {{"frobnicate"}, 2, "there is no command 'frobnicate'"},
        {{"record", "--bogus", "--", "true"}, 2, "--bogus"},
        {{"record", "--allocations", "5", "--", "true"}, 2, "apply to --mode memory"},
        {{"record", "--mode", "test", "--", "true"},
         1,
         "no process connected to qvprof; the program exited with code 0"},
        {{"record", "--mode", "test", "--", "sh", "-c", "exit 3"}, 3, "exited with code 3"},
        {{"record", "--mode", "test", "--", "/nonexistent/program"}, 127, "Can't start"},
        {{"record", "--mode", "test", "--port", busyPort, "--", "true"},
         1,
         "Can't listen on 127.0.0.1:" + busyPort},
        {{"listen", "--port", busyPort}, 1, "Can't listen on 127.0.0.1:" + busyPort},
        {{"listen"}, 2, "--port is required"},
        {{"export", (scratch.Path() / "missing.qvsnap").string(), "--format", "pprof"},
         1,
         "There is no file"},
        {{"export", truncated.string(), "--format", "html"}, 1, "is damaged"},
        {{"export", text.string(), "--format", "speedscope"}, 1, "is not a snapshot file"},
        {{"export", whole.string(), "--format", "collapsed"}, 1, "only performance snapshots"},
        {{"export", whole.string(), "--format", "svg"}, 2, "--format"},
        {{"diff", whole.string(), (scratch.Path() / "missing.qvsnap").string()},
         1,
         "There is no file"},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result result = Qvprof(c.arguments).Run(SampleRun::Timeout);
        std::string command;
        for (const std::string& argument : c.arguments) {
            command += " " + argument;
        }
        ASSERT_FALSE(result.timedOut) << command;
        EXPECT_EQ(c.exitCode, result.exitCode) << command << "\n" << result.err;
        EXPECT_NE(std::string::npos, result.err.find(c.message)) << command << "\n" << result.err;
    }
    ASSERT_EQ(0, Qvprof({"report", whole.string()}).Run(SampleRun::Timeout).exitCode);
}
