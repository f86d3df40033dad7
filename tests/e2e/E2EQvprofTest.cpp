// The built qvprof program as users run it: recording the sample and a whole `dotnet build` in
// the real runtime, reporting a snapshot file, and its answers to bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Controller/ConnectionListener.h"
#include "Controller/SnapshotFile.h"
#include "IdentityGatherers.h"
#include "MetadataOracle.h"
#include "Profiler/EnvironmentGatherer.h"
#include "SampleRun.h"
#include "support/FrameworkAssemblies.h"
#include "support/ScratchDirectory.h"

using namespace SampleRun;

namespace {

using Clock = std::chrono::steady_clock;

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
    const MetadataOracle::Output& sample = MetadataOracle::Run(QV_SAMPLE_DLL);
    const MetadataOracle::Output& coreLib = MetadataOracle::Run("corelib");

    TestRuntime runtime;
    const ModuleID sampleModule = runtime.AddModule({WidePath(QV_SAMPLE_DLL)});
    const ModuleID coreModule =
        runtime.AddModule({WidePath(framework / "System.Private.CoreLib.dll")});
    IdentityGatherers gatherers(runtime);
    gatherers.LoadModule(sampleModule);
    gatherers.LoadModule(coreModule);
    const ClassID object =
        runtime.AddClass(coreModule, MetadataOracle::TokenOf(coreLib, "System.Object"));
    const ClassID number =
        runtime.AddClass(coreModule, MetadataOracle::TokenOf(coreLib, "System.Int32"), object);
    const ClassID worker =
        runtime.AddClass(sampleModule, MetadataOracle::TokenOf(sample, "Sample.Worker"), object);
    for (ClassID cls : {runtime.AddArrayClass(number, 1, ELEMENT_TYPE_I4),
                        runtime.AddArrayClass(worker, 1), worker, number, object}) {
        gatherers.classes.CollectClassId(cls);
    }
    EnvironmentGatherer environment;
    environment.Gather({1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, 2, EnvironmentGatherer::RuntimeCore,
                       10, 0, 0, 0);
    Controller::Snapshot snapshot = gatherers.WriteAndRead([&](ISnapShotStorage& storage) {
        environment.Write(storage, "qvprof e2e", 0, IdentityGatherers::Sequence, 1);
    });
    snapshot.sequence = IdentityGatherers::Sequence;
    snapshot.sequenceNumber = 1;
    Controller::SnapshotFile::Write(path, snapshot);
}

}  // namespace

// The sample recorded with each kind, passing its output and exit code through: the reports show
// what its source implies (the test kind makes no snapshot). And the tracing kind measuring only
// what the program's own API calls enclose.
TEST(E2EQvprof, ReportsOfEachKindShowWhatTheSourceImplies) {
    struct Case {
        std::vector<std::string> record;
        std::vector<std::string> err;    // texts qvprof's standard error holds
        std::vector<std::string> view;   // empty: no snapshot
        std::vector<std::string> lines;  // patterns the report must hold
    };
    const Case cases[] = {
        {{"--mode", "test", "--", QV_DOTNET, QV_SAMPLE_DLL},
         {"qvprof: profiling Sample (pid ", "1 process connected, 1 profiled, 0 snapshots",
          "no snapshot (the test kind makes none)"},
         {},
         {}},
        {{"-q", "--mode", "tracing", "--", QV_DOTNET, QV_SAMPLE_DLL},
         {},
         {"--view", "hot"},
         {R"( 43781  Sample\.Worker::Fib \(recursive\))", R"( 20000  Sample\.Allocator::MakeItem)",
          R"( 3  Sample\.Worker::Compute)", R"( 1  Sample\.Faults::Fail)"}},
        // The program runs for well under a second: its main thread is sampled in Main at least.
        {{"-q", "--mode", "sampling", "--", QV_DOTNET, QV_SAMPLE_DLL},
         {},
         {"--view", "hot"},
         {R"(Sample\.Program::Main)"}},
        // The dump comes while the sample holds its items, even where start-up is slow (the
        // sanitizer build). The snapshot travels as files the profiled process writes.
        {{"-q", "--mode", "memory", "--snapshot-files", "--allocations", "100", "--dump-after", "3",
          "--", QV_DOTNET, QV_SAMPLE_DLL, "--hold-ms", "8000"},
         {},
         {"--view", "heap", "--view", "allocations"},
         {R"(Heap dump 1 of 1 )", R"( 200\d\d  System\.Byte\[\])",
          R"(  200 allocations, [\d.]+%\n +Sample\.Allocator::MakeItem\n +Sample\.Allocator::Fill)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record[c.record[0] == "-q" ? 2 : 1]);
        ScratchDirectory scratch;
        std::vector<std::string> arguments = {"record", "-o", scratch.Path().string()};
        arguments.insert(arguments.end(), c.record.begin(), c.record.end());
        const ChildProcess::Result result = Qvprof(arguments).Run(Timeout);
        ASSERT_FALSE(result.timedOut) << Describe(result);
        EXPECT_EQ(ExpectedExitCode, result.exitCode) << Describe(result);
        EXPECT_EQ(ExpectedOutput, result.out);
        EXPECT_EQ(std::string::npos, result.err.find("error: ")) << result.err;  // none logged
        for (const std::string& text : c.err) {
            EXPECT_NE(std::string::npos, result.err.find(text)) << text << "\n" << result.err;
        }
        const std::vector<std::filesystem::path> files = SnapshotFiles(scratch.Path());
        ASSERT_EQ(c.view.empty() ? 0u : 1u, files.size()) << result.err;
        if (c.view.empty()) {
            continue;
        }
        std::vector<std::string> report = {"report", "--limit", "0"};
        report.insert(report.end(), c.view.begin(), c.view.end());
        report.push_back(files[0].string());
        const ChildProcess::Result shown = Qvprof(report).Run(Timeout);
        ASSERT_EQ(0, shown.exitCode) << Describe(shown);
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
            .Run(Timeout);
    ASSERT_EQ(3, api.exitCode) << Describe(api);
    EXPECT_NE(std::string::npos, api.out.find("api active=0 begin=0 start=0 stop=0 save=0"))
        << api.out;
    const std::vector<std::filesystem::path> files = SnapshotFiles(scratch.Path());
    ASSERT_EQ(1u, files.size()) << api.err;
    const ChildProcess::Result shown =
        Qvprof({"report", "--limit", "0", "--view", "hot", files[0].string()}).Run(Timeout);
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

// A SIGTERM sent to qvprof alone, as a service manager sends it: the sample, which the signal
// ends, gets it only after its heap dump (--dump-at-end) has arrived. The sender repeats it at
// once, as `timeout` does (to qvprof, then to its process group): no second Ctrl-C that aborts.
TEST(E2EQvprof, ASignalToQvprofAloneReachesTheProgramAfterItsHeapDump) {
    ScratchDirectory scratch;
    const ChildProcess::Result result =
        Qvprof({"record", "-o", scratch.Path().string(), "--mode", "memory", "--dump-at-end", "--",
                QV_DOTNET, QV_SAMPLE_DLL, "--hold-ms", "20000"},
               {"sh", "-c",
                "\"$0\" \"$@\" & q=$!; sleep 3; kill -TERM $q; sleep 0.2; kill -TERM $q; wait $q"})
            .Run(Timeout);
    EXPECT_EQ(128 + SIGTERM, result.exitCode) << Describe(result);
    EXPECT_NE(std::string::npos, result.err.find("then passing the signal on")) << result.err;
    EXPECT_EQ(std::string::npos, result.err.find("aborted")) << result.err;
    const std::vector<std::filesystem::path> files = SnapshotFiles(scratch.Path());
    ASSERT_EQ(1u, files.size()) << result.err;
    const ChildProcess::Result shown =
        Qvprof({"report", "--view", "heap", files[0].string()}).Run(Timeout);
    EXPECT_TRUE(std::regex_search(shown.out, std::regex(R"( 200\d\d  System\.Byte\[\])")))
        << shown.out;
}

TEST(E2EQvprof, ReportNamesTheProcessModulesAndClassesOfASnapshot) {
    ScratchDirectory scratch;
    const std::filesystem::path file = scratch.Path() / "Sample-1.qvsnap";
    WriteSampleSnapshot(file);
    ASSERT_FALSE(HasFatalFailure());

    const ChildProcess::Result result =
        Qvprof({"report", "--limit", "0", file.string()}).Run(Timeout);
    ASSERT_EQ(0, result.exitCode) << Describe(result);
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
    const ChildProcess::Result plainResult = plain.Run(Timeout);
    const auto plainTime = Clock::now() - plainStart;
    ASSERT_EQ(0, plainResult.exitCode) << Describe(plainResult);

    std::vector<std::string> arguments = {"record", "--mode", "test", "-o", scratch.Path().string(),
                                          "--"};
    arguments.insert(arguments.end(), build.begin(), build.end());
    const auto recordStart = Clock::now();
    const ChildProcess::Result result = Qvprof(arguments).Run(Timeout);
    const auto recordTime = Clock::now() - recordStart;
    ASSERT_FALSE(result.timedOut) << Describe(result);
    EXPECT_EQ(0, result.exitCode) << Describe(result);
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
            .Run(Timeout);
    ASSERT_FALSE(run.timedOut) << Describe(run);
    EXPECT_EQ(0, run.exitCode) << Describe(run);
    EXPECT_EQ("hello\n", run.out);
    EXPECT_EQ(1u, Count(run.err, std::regex(R"(\n  Hello \(pid \d+\): \S+Hello-\d+\.qvsnap)")))
        << run.err;

    // With --first-only the other processes are refused at once and build unprofiled.
    arguments.insert(arguments.begin() + 1, "--first-only");
    const ChildProcess::Result first = Qvprof(arguments).Run(Timeout);
    ASSERT_FALSE(first.timedOut) << Describe(first);
    EXPECT_EQ(0, first.exitCode) << Describe(first);
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
        const ChildProcess::Result prepared = plain.Run(Timeout);
        ASSERT_EQ(0, prepared.exitCode) << Describe(prepared);
    }

    const std::filesystem::path out = scratch.Path() / "profiles";
    const ChildProcess::Result result =
        Qvprof({"record", "--mode", "sampling", "-o", out.string(), "--", QV_DOTNET, "test", csproj,
                "--no-build", "--nologo"})
            .Run(Timeout);
    ASSERT_FALSE(result.timedOut) << Describe(result);
    // One test fails on purpose: dotnet test's own exit code comes through.
    EXPECT_EQ(1, result.exitCode) << Describe(result);
    EXPECT_NE(std::string::npos, result.out.find("Failed:     1, Passed:     1")) << result.out;
    EXPECT_EQ(std::string::npos, result.err.find("incomplete")) << result.err;
    EXPECT_EQ(std::string::npos, result.err.find("Can't open file")) << result.err;

    bool found = false;
    for (const std::filesystem::path& file : SnapshotFiles(out)) {
        if (file.filename().string().rfind("testhost-", 0) != 0) {
            continue;
        }
        const ChildProcess::Result report =
            Qvprof({"report", "--view", "hot", "--limit", "0", file.string()}).Run(Timeout);
        ASSERT_EQ(0, report.exitCode) << Describe(report);
        found = report.out.find("Calc.Primes::IsPrime") != std::string::npos;
        EXPECT_TRUE(found) << report.out;
    }
    EXPECT_TRUE(found) << "no snapshot of the test host\n" << result.err;
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
    // Large enough to be announced before it is read; sparse, so cheap to make.
    const std::filesystem::path large = scratch.Path() / "large.qvsnap";
    std::filesystem::copy_file(text, large);
    std::filesystem::resize_file(large, 100 << 20);
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
        {{"report", large.string()}, 1, "100.0 MB; a snapshot this large takes a while"},
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
        {{"record", "--mode", "test", "-o", text.string() + "/out", "--", "true"},
         1,
         "Can't create the output folder '" + text.string() + "/out': Not a directory"},
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
        const ChildProcess::Result result = Qvprof(c.arguments).Run(Timeout);
        std::string command;
        for (const std::string& argument : c.arguments) {
            command += " " + argument;
        }
        ASSERT_FALSE(result.timedOut) << command;
        EXPECT_EQ(c.exitCode, result.exitCode) << command << "\n" << result.err;
        EXPECT_NE(std::string::npos, result.err.find(c.message)) << command << "\n" << result.err;
    }
    ASSERT_EQ(0, Qvprof({"report", whole.string()}).Run(Timeout).exitCode);
}
