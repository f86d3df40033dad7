// The sampling kind in the real runtime: SamplingLoad (tests/apps) runs rounds of a hot function
// doing three units of work and a cold one doing one, on its main thread and on three workers
// whose CPU time stands 1 : 2 : 3. A real controller starts and stops measuring; the snapshot it
// receives, read with the controller's profile model, must show those shares within sampling
// error, each thread's tree under its name, and every sampled stack rooted in the thread's entry
// function. The program's output and exit code are those of a run without profiler.
//
// Bounds. A sample lands on the hot function with probability 3/4, independently of the others
// (the 5-18 ms intervals are drawn at random, a round lasts a few milliseconds). With n samples
// the measured hot/cold ratio has a relative standard deviation of about (4/3)·sqrt(3/n): 5% at
// n = 2000. The tests measure long enough for at least 1000 samples (7% at worst) and accept
// -20% to +25% of the true ratio 3, more than three standard deviations either way. The workers'
// shares are measured in thread time, where each worker's CPU time per cycle is fixed by its
// rounds; the bound there is ±25% of each share.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Controller/Profile.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/Session.h"
#include "SampleRun.h"
#include "support/ScratchDirectory.h"

namespace {

namespace fs = std::filesystem;
using Controller::EventKind;
using Controller::Profile;
using Controller::ProfileNode;
using Controller::ThreadProfile;

constexpr const char* SamplingKind = "{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* TracingKind = "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* ExpectedOutput =
    "round checksum 1D3545112316C868\n"
    "workers 3, rounds per cycle 60 120 180\n";
constexpr int ExpectedExitCode = 3;
constexpr DWORD GenerousMs = 120000;
constexpr auto RunLimit = std::chrono::seconds(300);

constexpr const char* Hot = "SamplingLoad.Work::Hot";
constexpr const char* Cold = "SamplingLoad.Work::Cold";
constexpr const char* MainEntry = "SamplingLoad.Program::Main";
constexpr const char* WorkerEntry = "SamplingLoad.Workers::WorkerMain";
constexpr const char* Unwalkable = "[unwalkable stack]";

ChildProcess LoadCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {QV_DOTNET, QV_SAMPLING_LOAD_DLL};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess child(command);
    child.RemoveVariablesStartingWith("CORECLR_");
    child.RemoveVariablesStartingWith("COMPlus_");
    child.RemoveVariablesStartingWith("DOTNET_ProfAPI");
    child.SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
    child.SetVariable("DOTNET_NOLOGO", "1");
    return child;
}

// Waits for a file the program creates; false after `milliseconds`.
bool WaitForFile(const fs::path& path, DWORD milliseconds) {
    for (DWORD waited = 0; waited < milliseconds; waited += 20) {
        if (fs::exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

struct ThreadFigures {
    std::string name;
    uint64_t samples = 0;  // stacks that ended in the thread's tree
    uint64_t unwalkable = 0;
    uint64_t unrooted = 0;  // stacks without the entry function
    std::string firstUnrooted;
    uint64_t hotTicks = 0;
    uint64_t coldTicks = 0;
    uint64_t hotCalls = 0;
    uint64_t coldCalls = 0;
    uint64_t totalTicks = 0;
};

// The figures of one thread's tree: every node where stacks ended (its calls less its children's)
// is checked for the entry function on its path from the root.
ThreadFigures Measure(const Profile& profile, const ThreadProfile& thread,
                      const std::string& entry) {
    ThreadFigures figures;
    figures.name = thread.thread.name;
    const auto& nodes = thread.tree.Nodes();
    figures.totalTicks = thread.tree.Root().totalTicks;
    for (uint32_t index = 1; index < nodes.size(); ++index) {
        const ProfileNode& node = nodes[index];
        uint64_t childCalls = 0;
        for (uint32_t child : node.children) {
            childCalls += nodes[child].calls;
        }
        const uint64_t ended = node.calls > childCalls ? node.calls - childCalls : 0;
        if (ended == 0) {
            continue;
        }
        figures.samples += ended;
        if (profile.FunctionName(node.function) == Unwalkable) {
            figures.unwalkable += ended;
            continue;
        }
        bool rooted = false;
        std::string path;
        for (uint32_t at = index; at != 0; at = nodes[at].parent) {
            const std::string& name = profile.FunctionName(nodes[at].function);
            rooted = rooted || name == entry;
            path = name + (path.empty() ? "" : " > " + path);
        }
        if (!rooted) {
            figures.unrooted += ended;
            if (figures.firstUnrooted.empty()) {
                figures.firstUnrooted = path;
            }
        }
    }
    for (const auto& summary : thread.functions) {
        const std::string& name = profile.FunctionName(summary.function);
        if (name == Hot) {
            figures.hotTicks = summary.totalTicks;
            figures.hotCalls = summary.calls;
        } else if (name == Cold) {
            figures.coldTicks = summary.totalTicks;
            figures.coldCalls = summary.calls;
        }
    }
    return figures;
}

std::string Describe(const Profile& profile) {
    std::ostringstream text;
    for (const ThreadProfile& thread : profile.Threads()) {
        text << "thread " << thread.thread.recordNumber << " '" << thread.thread.name << "' total "
             << profile.Seconds(thread.tree.Root().totalTicks) << " s\n";
        for (size_t i = 0; i < thread.functions.size() && i < 6; ++i) {
            const auto& summary = thread.functions[i];
            text << "  " << profile.FunctionName(summary.function) << " calls " << summary.calls
                 << " total " << profile.Seconds(summary.totalTicks) << " s\n";
        }
    }
    return text.str();
}

// One run of SamplingLoad under the sampling (or another) kind with a controller: in manual control
// ("manual" with a folder for its ready and stop files), or with the program in control
// ("api <cycles>").
class SamplingRun {
public:
    explicit SamplingRun(uint8_t measureKind, int apiCycles = 0, const char* pKind = SamplingKind) {
        m_Folder = m_Scratch.Path() / "program";
        fs::create_directories(m_Folder);
        const fs::path logFolder = m_Scratch.Path() / "log";
        fs::create_directories(logFolder);
        m_LogFolder = logFolder;
        const fs::path registry = m_Scratch.Path() / "settings.reg";
        SampleRun::WriteRegistryFile(registry, logFolder, "00000000");

        Controller::SessionOptions options;
        options.performance.measureKind = measureKind;
        options.controlKind =
            apiCycles > 0 ? Controller::ControlKindApi : Controller::ControlKindManual;
        m_pSession = std::make_unique<Controller::Session>(options);
        const WORD port = m_pSession->Listen();
        ChildProcess child =
            LoadCommand(apiCycles > 0 ? std::vector<std::string>{"api", std::to_string(apiCycles)}
                                      : std::vector<std::string>{"manual", m_Folder.string()});
        SampleRun::AddProfilerVariables(&child, pKind, QV_PROFILER_LIBRARY);
        child.SetVariable("QUORVELAN_PROFILER_BRIDGE", "127.0.0.1:" + std::to_string(port));
        child.SetVariable("QUORVELAN_REGISTRY", registry.string());
        m_Running = std::async(std::launch::async,
                               [child = std::move(child)] { return child.Run(RunLimit); });
    }

    // The program is told to stop however the test ends.
    ~SamplingRun() {
        Stop();
        if (m_Running.valid()) {
            m_Running.wait();
        }
        m_pSession->Close();
    }

    Controller::Session& Session() { return *m_pSession; }
    bool WaitUntilReady() { return WaitForFile(m_Folder / "ready", GenerousMs); }
    void Stop() { std::ofstream(m_Folder / "stop").flush(); }
    ChildProcess::Result Finish() {
        Stop();
        return m_Running.get();
    }
    std::vector<std::string> LogLines() const { return SampleRun::FindLogLines(m_LogFolder); }

private:
    ScratchDirectory m_Scratch;
    fs::path m_Folder;
    fs::path m_LogFolder;
    std::unique_ptr<Controller::Session> m_pSession;
    std::future<ChildProcess::Result> m_Running;
};

// Connects, waits for the program's steady state, then measures for `window`; the snapshot of
// that window. A first measuring is dropped on the way, so Start, StopDrop, Start, StopSave.
std::shared_ptr<const Controller::Snapshot> MeasureWindow(SamplingRun& run,
                                                          std::chrono::seconds window) {
    Controller::Session& session = run.Session();
    session.Accept(GenerousMs);
    EXPECT_TRUE(session.WaitFor(EventKind::Stopped, GenerousMs));  // nothing at initialisation
    EXPECT_TRUE(run.WaitUntilReady()) << "the program never became ready";

    session.Start();
    EXPECT_TRUE(session.WaitFor(EventKind::Started, GenerousMs));
    session.StopDrop();
    EXPECT_TRUE(session.WaitFor(EventKind::Stopped, GenerousMs));
    const auto dropped = session.WaitFor(EventKind::Snapshot, GenerousMs);
    EXPECT_TRUE(dropped && !dropped->snapshot->complete);

    session.Start();
    EXPECT_TRUE(session.WaitFor(EventKind::Started, GenerousMs));
    // The measuring window itself: long enough for the bounds above.
    std::this_thread::sleep_for(window);
    session.StopSave();
    const auto saved = session.WaitFor(EventKind::Snapshot, GenerousMs);
    EXPECT_TRUE(session.WaitFor(EventKind::Stopped, GenerousMs));
    if (!saved) {
        return nullptr;
    }
    EXPECT_TRUE(saved->snapshot->complete) << saved->snapshot->note;
    return saved->snapshot;
}

void ExpectUnchangedProgram(const ChildProcess::Result& result,
                            const std::string& lastLine = "stopped") {
    ASSERT_TRUE(result.started) << result.error;
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    EXPECT_EQ(result.out, std::string(ExpectedOutput) + lastLine + "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, ExpectedExitCode) << SampleRun::Describe(result);
}

std::map<std::string, ThreadFigures> MeasureThreads(const Profile& profile) {
    std::map<std::string, ThreadFigures> figures;
    for (const ThreadProfile& thread : profile.Threads()) {
        const std::string& name = thread.thread.name;
        if (name == "main" || name.rfind("worker-", 0) == 0) {
            figures[name] = Measure(profile, thread, name == "main" ? MainEntry : WorkerEntry);
        }
    }
    return figures;
}

}  // namespace

TEST(E2ESampling, HotAndColdSharesUnderTheControllersMeasuring) {
    SamplingRun run(0);
    const auto snapshot = MeasureWindow(run, std::chrono::seconds(20));
    const ChildProcess::Result result = run.Finish();
    ExpectUnchangedProgram(result);
    ASSERT_TRUE(snapshot);
    const Profile profile = Profile::Read(*snapshot);
    SCOPED_TRACE(Describe(profile));

    const auto threads = MeasureThreads(profile);
    ASSERT_EQ(threads.size(), 4u) << "main and three workers, each under its name";
    uint64_t hotTicks = 0, coldTicks = 0, samples = 0;
    for (const auto& [name, figures] : threads) {
        SCOPED_TRACE(name);
        EXPECT_EQ(figures.unrooted, 0u) << "first: " << figures.firstUnrooted;
        // A thread caught where the runtime cannot walk it (in native code that forbids it)
        // gives a few unwalkable samples.
        EXPECT_LE(figures.unwalkable, figures.samples / 20);
        EXPECT_GT(figures.samples, 0u);
        hotTicks += figures.hotTicks;
        coldTicks += figures.coldTicks;
        samples += figures.hotCalls + figures.coldCalls;
    }
    ASSERT_GE(samples, 1000u) << "too few samples for the bound";
    ASSERT_GT(coldTicks, 0u);
    const double ratio = static_cast<double>(hotTicks) / static_cast<double>(coldTicks);
    RecordProperty("HotColdRatio", std::to_string(ratio));
    RecordProperty("Samples", std::to_string(samples));
    EXPECT_GE(ratio, 3 * 0.8) << samples << " samples";
    EXPECT_LE(ratio, 3 * 1.25) << samples << " samples";
    for (const std::string& line : run.LogLines()) {
        EXPECT_EQ(line.find("ERROR: "), std::string::npos) << line;
    }
}

// The tracing kind under the controller's commands: a window measured through Start and StopSave
// (after one dropped with StopDrop) arrives over the bridge, and a second one, after
// ChangeSnapShotType, as files the profiler wrote. Each round calls the hot function and then the
// cold one, so in every thread their counts differ by at most the round the window cut.
TEST(E2ETracing, ControllerWindowsArriveOverTheBridgeAndAsFiles) {
    SamplingRun run(0, 0, TracingKind);
    const auto streamed = MeasureWindow(run, std::chrono::seconds(1));
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->origin, Controller::SnapshotOrigin::BridgeStream);

    Controller::Session& session = run.Session();
    session.ChangeSnapShotType(Controller::SnapshotTypeFileSystem);
    session.Start();
    EXPECT_TRUE(session.WaitFor(EventKind::Started, GenerousMs));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    session.StopSave();
    const auto filed = session.WaitFor({EventKind::Snapshot, EventKind::Error}, GenerousMs);
    ASSERT_TRUE(filed);
    ASSERT_EQ(filed->kind, EventKind::Snapshot) << filed->text;
    EXPECT_EQ(filed->snapshot->origin, Controller::SnapshotOrigin::FileStorage);
    EXPECT_TRUE(filed->snapshot->complete) << filed->snapshot->note;
    ExpectUnchangedProgram(run.Finish());

    for (const auto& snapshot : {streamed, filed->snapshot}) {
        const Profile profile = Profile::Read(*snapshot);
        SCOPED_TRACE(Describe(profile));
        const auto threads = MeasureThreads(profile);
        ASSERT_EQ(threads.size(), 4u) << "main and three workers, each under its name";
        for (const auto& [name, figures] : threads) {
            SCOPED_TRACE(name);
            EXPECT_GT(figures.hotCalls, 0u);
            EXPECT_LE(std::max(figures.hotCalls, figures.coldCalls) -
                          std::min(figures.hotCalls, figures.coldCalls),
                      1u)
                << figures.hotCalls << " hot, " << figures.coldCalls << " cold";
        }
    }
    for (const std::string& line : run.LogLines()) {
        EXPECT_EQ(line.find("ERROR: "), std::string::npos) << line;
        EXPECT_EQ(line.find("Unexpected function identifier"), std::string::npos) << line;
    }
}

TEST(E2ESampling, WorkerSharesInThreadTime) {
    SamplingRun run(1);
    const auto snapshot = MeasureWindow(run, std::chrono::seconds(12));
    ExpectUnchangedProgram(run.Finish());
    ASSERT_TRUE(snapshot);
    const Profile profile = Profile::Read(*snapshot);
    SCOPED_TRACE(Describe(profile));

    const auto threads = MeasureThreads(profile);
    ASSERT_EQ(threads.size(), 4u);
    uint64_t workerTicks = 0;
    for (int i = 1; i <= 3; ++i) {
        const ThreadFigures& figures = threads.at("worker-" + std::to_string(i));
        EXPECT_EQ(figures.unrooted, 0u) << figures.firstUnrooted;
        workerTicks += figures.hotTicks + figures.coldTicks;
    }
    ASSERT_GT(workerTicks, 0u);
    for (int i = 1; i <= 3; ++i) {
        const ThreadFigures& figures = threads.at("worker-" + std::to_string(i));
        const double share =
            static_cast<double>(figures.hotTicks + figures.coldTicks) / workerTicks;
        const double expected = i / 6.0;
        RecordProperty("Share" + std::to_string(i), std::to_string(share));
        EXPECT_NEAR(share, expected, expected * 0.25) << figures.name;
    }
}

// The program measures itself through the exports (P/Invoke into the loaded library); the
// controller only receives the snapshot.
TEST(E2ESampling, ThePerformanceApiDrivesMeasuring) {
    SamplingRun run(0, 2);
    Controller::Session& session = run.Session();
    session.Accept(GenerousMs);
    const auto saved = session.WaitFor(EventKind::Snapshot, GenerousMs);
    ExpectUnchangedProgram(run.Finish(), "api active=0 begin=0 start=0 stop=0 save=0");
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->snapshot->complete) << saved->snapshot->note;
    EXPECT_FALSE(session.WaitFor({EventKind::Started, EventKind::Stopped}, 0));
    const Profile profile = Profile::Read(*saved->snapshot);
    SCOPED_TRACE(Describe(profile));
    const auto threads = MeasureThreads(profile);
    ASSERT_EQ(threads.size(), 4u);
    for (const auto& [name, figures] : threads) {
        EXPECT_GT(figures.hotCalls, 0u) << name;
        EXPECT_EQ(figures.unrooted, 0u) << name << ": " << figures.firstUnrooted;
    }
}

// The sample program (threads, allocations and collections, an exception) sampled from the
// runtime's start to its end: it prints and exits as without profiler, and the snapshot saved at
// shutdown reaches the controller.
TEST(E2ESampling, SampleProgramUnchangedWhenSampledFromStartToEnd) {
    ScratchDirectory scratch;
    const fs::path registry = scratch.Path() / "settings.reg";
    SampleRun::WriteRegistryFile(registry, scratch.Path(), "00000000");
    Controller::SessionOptions options;
    options.performance.startAtInitialization = true;
    Controller::Session session(options);
    const WORD port = session.Listen();
    ChildProcess child = SampleRun::Command();
    SampleRun::AddProfilerVariables(&child, SamplingKind, QV_PROFILER_LIBRARY);
    child.SetVariable("QUORVELAN_PROFILER_BRIDGE", "127.0.0.1:" + std::to_string(port));
    child.SetVariable("QUORVELAN_REGISTRY", registry.string());
    auto running = std::async(std::launch::async, [&child] { return child.Run(RunLimit); });
    session.Accept(GenerousMs);
    const auto saved = session.WaitFor(EventKind::Snapshot, GenerousMs);
    const ChildProcess::Result result = running.get();
    session.Close();

    ASSERT_TRUE(result.started) << result.error;
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    EXPECT_EQ(result.out, SampleRun::ExpectedOutput);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, SampleRun::ExpectedExitCode);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->snapshot->complete) << saved->snapshot->note;
    const Profile profile = Profile::Read(*saved->snapshot);
    // The program runs for well under a second: its main thread is sampled in Main at least.
    bool sampledMain = false;
    for (const auto& function : profile.Functions()) {
        sampledMain = sampledMain || function.name == "Sample.Program::Main";
    }
    EXPECT_TRUE(sampledMain) << Describe(profile);
    for (const std::string& line : SampleRun::FindLogLines(scratch.Path())) {
        EXPECT_EQ(line.find("ERROR: "), std::string::npos) << line;
    }
}

// Collections all the time on four threads while every turn suspends the runtime: the program
// ends as without profiler (no turn waits on a collection that waits on the turn). A turn that
// meets a collection is skipped with a warning.
TEST(E2ESampling, FrequentCollectionsDuringSampling) {
    ScratchDirectory scratch;
    const fs::path registry = scratch.Path() / "settings.reg";
    SampleRun::WriteRegistryFile(registry, scratch.Path(), "00000000");
    Controller::SessionOptions options;
    options.performance.startAtInitialization = true;
    Controller::Session session(options);
    const WORD port = session.Listen();
    ChildProcess child = LoadCommand({"collect", "6000000"});
    SampleRun::AddProfilerVariables(&child, SamplingKind, QV_PROFILER_LIBRARY);
    child.SetVariable("QUORVELAN_PROFILER_BRIDGE", "127.0.0.1:" + std::to_string(port));
    child.SetVariable("QUORVELAN_REGISTRY", registry.string());
    auto running = std::async(std::launch::async, [&child] { return child.Run(RunLimit); });
    session.Accept(GenerousMs);
    const auto saved = session.WaitFor(EventKind::Snapshot, GenerousMs);
    const ChildProcess::Result result = running.get();
    session.Close();

    ASSERT_TRUE(result.started) << result.error;
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    EXPECT_EQ(result.out, std::string(ExpectedOutput) + "kept 126976 127232 127488 127744\n");
    EXPECT_EQ(result.exitCode, ExpectedExitCode);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->snapshot->complete) << saved->snapshot->note;
    size_t skipped = 0;
    for (const std::string& line : SampleRun::FindLogLines(scratch.Path())) {
        EXPECT_EQ(line.find("ERROR: "), std::string::npos) << line;
        skipped += line.find("WARNING: Can't suspend runtime") != std::string::npos ? 1 : 0;
    }
    RecordProperty("SkippedTurns", std::to_string(skipped));
}
