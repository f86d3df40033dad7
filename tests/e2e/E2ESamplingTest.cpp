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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Controller/Profile.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SnapshotFile.h"
#include "SampleRun.h"

using namespace SampleRun;

namespace {

namespace fs = std::filesystem;
using Controller::EventKind;
using Controller::Profile;
using Controller::ProfileNode;
using Controller::ThreadProfile;

constexpr const char* LoadOutput =
    "round checksum 1D3545112316C868\n"
    "workers 3, rounds per cycle 60 120 180\n";
constexpr int LoadExitCode = 3;

constexpr const char* Hot = "SamplingLoad.Work::Hot";
constexpr const char* Cold = "SamplingLoad.Work::Cold";
constexpr const char* MainEntry = "SamplingLoad.Program::Main";
constexpr const char* WorkerEntry = "SamplingLoad.Workers::WorkerMain";
constexpr const char* Unwalkable = "[unwalkable stack]";

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

// SamplingLoad in manual control under the sampling (or another) kind: its ready and stop files
// are in the run's folder, and it is told to stop however the test ends.
class SamplingRun {
public:
    explicit SamplingRun(uint8_t measureKind, const char* pKind = SamplingKind)
        : m_Run(Options(measureKind)) {
        m_Run.Start(CommandFor(QV_SAMPLING_LOAD_DLL, {"manual", m_Run.Folder().string()}), pKind);
    }
    ~SamplingRun() { Stop(); }

    Controller::Session& Session() { return m_Run.Session(); }
    bool WaitUntilReady() { return WaitForFile(m_Run.Folder() / "ready", GenerousMs); }
    void Stop() { std::ofstream(m_Run.Folder() / "stop").flush(); }
    ChildProcess::Result Finish() {
        Stop();
        return m_Run.Finish();
    }
    std::vector<std::string> LogLines() const { return m_Run.LogLines(); }

private:
    static Controller::SessionOptions Options(uint8_t measureKind) {
        Controller::SessionOptions options;
        options.performance.measureKind = measureKind;
        return options;
    }

    ControlledRun m_Run;
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
    ExpectUnchanged(result, std::string(LoadOutput) + lastLine + "\n", LoadExitCode);
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
    SCOPED_TRACE(Describe(profile, 6));

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
    ExpectNoLineWith(run.LogLines());
}

// The tracing kind under the controller's commands: a window measured through Start and StopSave
// (after one dropped with StopDrop) arrives over the bridge, and a second one, after
// ChangeSnapShotType, as files the profiler wrote. Each round calls the hot function and then the
// cold one, so in every thread their counts differ by at most the round the window cut.
TEST(E2ETracing, ControllerWindowsArriveOverTheBridgeAndAsFiles) {
    // Windows of 3 s: on a loaded machine a worker can spend a whole second at its barrier.
    SamplingRun run(0, TracingKind);
    const auto streamed = MeasureWindow(run, std::chrono::seconds(3));
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->origin, Controller::SnapshotOrigin::BridgeStream);

    Controller::Session& session = run.Session();
    session.ChangeSnapShotType(Controller::SnapshotTypeFileSystem);
    session.Start();
    EXPECT_TRUE(session.WaitFor(EventKind::Started, GenerousMs));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    session.StopSave();
    const auto filed = session.WaitFor({EventKind::Snapshot, EventKind::Error}, GenerousMs);
    ASSERT_TRUE(filed);
    ASSERT_EQ(filed->kind, EventKind::Snapshot) << filed->text;
    EXPECT_EQ(filed->snapshot->origin, Controller::SnapshotOrigin::FileStorage);
    EXPECT_TRUE(filed->snapshot->complete) << filed->snapshot->note;
    ExpectUnchangedProgram(run.Finish());

    for (const auto& snapshot : {streamed, filed->snapshot}) {
        const Profile profile = Profile::Read(*snapshot);
        SCOPED_TRACE(Describe(profile, 6));
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
    ExpectNoLineWith(run.LogLines(), {"ERROR: ", "Unexpected function identifier"});
}

TEST(E2ESampling, WorkerSharesInThreadTime) {
    SamplingRun run(1);
    const auto snapshot = MeasureWindow(run, std::chrono::seconds(12));
    ExpectUnchangedProgram(run.Finish());
    ASSERT_TRUE(snapshot);
    const Profile profile = Profile::Read(*snapshot);
    SCOPED_TRACE(Describe(profile, 6));

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

// Collections all the time on four threads while every turn suspends the runtime: the program
// ends as without profiler (no turn waits on a collection that waits on the turn). A turn that
// meets a collection is skipped with a warning.
TEST(E2ESampling, FrequentCollectionsDuringSampling) {
    Controller::SessionOptions options;
    options.performance.startAtInitialization = true;
    ControlledRun run(options);
    run.Start(CommandFor(QV_SAMPLING_LOAD_DLL, {"collect", "6000000"}), SamplingKind);
    run.Session().Accept(GenerousMs);
    const auto saved = run.Session().WaitFor(EventKind::Snapshot, GenerousMs);
    const ChildProcess::Result result = run.Finish();
    ExpectUnchanged(result, std::string(LoadOutput) + "kept 126976 127232 127488 127744\n",
                    LoadExitCode);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->snapshot->complete) << saved->snapshot->note;
    const std::vector<std::string> lines = run.LogLines();
    ExpectNoLineWith(lines);
    RecordProperty(
        "SkippedTurns",
        std::to_string(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("WARNING: Can't suspend runtime") != std::string::npos;
        })));
}

// A sampling snapshot of the sampling load recorded by qvprof, measured through the program's own
// API calls, exported in every format: the hot function shows with about three times the cold one's
// own time, and the pprof file opens in the Go toolchain's pprof.
TEST(E2EQvprof, ExportsARecordedSamplingSnapshotForOtherTools) {
    ScratchDirectory scratch;
    const ChildProcess::Result recorded =
        Qvprof({"record", "--mode", "sampling", "--api", "-o", scratch.Path().string(), "--",
                QV_DOTNET, QV_SAMPLING_LOAD_DLL, "api", "2"})
            .Run(Timeout);
    ASSERT_FALSE(recorded.timedOut) << Describe(recorded);
    EXPECT_EQ(LoadExitCode, recorded.exitCode) << recorded.err;
    EXPECT_EQ(std::string(LoadOutput) + "api active=0 begin=0 start=0 stop=0 save=0\n",
              recorded.out);
    const std::vector<std::filesystem::path> files = SnapshotFiles(scratch.Path());
    ASSERT_EQ(1u, files.size()) << recorded.err;
    // The program drove the measuring through the exports (P/Invoke into the loaded library):
    // every thread under its name, every stack rooted in the thread's entry function.
    const Controller::Snapshot snapshot = Controller::SnapshotFile::Read(files[0]);
    EXPECT_TRUE(snapshot.complete) << snapshot.note;
    const Profile profile = Profile::Read(snapshot);
    const auto figures = MeasureThreads(profile);
    ASSERT_EQ(figures.size(), 4u) << Describe(profile, 6);
    for (const auto& [name, thread] : figures) {
        EXPECT_GT(thread.hotCalls, 0u) << name;
        EXPECT_EQ(thread.unrooted, 0u) << name << ": " << thread.firstUnrooted;
    }

    auto exported = [&](const std::string& format) {
        const std::filesystem::path out = scratch.Path() / ("export." + format);
        const ChildProcess::Result result =
            Qvprof({"export", files[0].string(), "--format", format, "-o", out.string()})
                .Run(Timeout);
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
        const ChildProcess::Result page = browser.Run(Timeout);
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
        const ChildProcess::Result top = pprof.Run(Timeout);
        EXPECT_EQ(0, top.exitCode) << top.err;
        EXPECT_NE(std::string::npos, top.out.find("SamplingLoad.Work::Spin")) << top.out;
    }
}
