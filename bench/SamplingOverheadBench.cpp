// What the sampling kind costs a CPU-bound managed program, against what any sampling costs in
// this runtime. SamplingLoad ("spin": 1000 rounds of hot and cold work shared by 1, 8 or 50
// threads) runs as a whole process, wall time and process CPU time (user + system) taken:
//   none      without profiler;
//   floor     under the floor profiler (bench/SamplingFloor): its own thread only suspends and
//             resumes the runtime at the sampling kind's intervals, the price of any turn here;
//   sampling  under the sampling kind, measuring from start to end, with a controller in this
//             process receiving the snapshot;
//   idle      under the sampling kind with the controller, never measuring: what loading it
//             costs (initialisation, module and thread callbacks, the bridge) without a turn;
//   floorwalk the floor profiler walking every thread's stack in each turn as well: the price of
//             sampling here before anything is done with the stacks.
// The five run in turn, in a rotating order, five times; the figures are medians, and the ratios
// are medians of the ratios within one round (so a change in the machine's load between rounds
// cancels). Counters: wall_s and cpu_s of each; floor_wall, floor_cpu, sampling_wall,
// sampling_cpu, idle_wall, idle_cpu, floorwalk_wall and floorwalk_cpu (each against none);
// added_wall and added_cpu (the sampling kind's extra time over the floor's extra time),
// added_cpu_walk (the same over the walking floor's); sampler_share (the sampling thread's CPU
// time over the process's).
//
// BM_TurnCost runs the floor profiler in its walking mode: medians of one turn's suspend, walk
// and resume times, and the threads and frames walked, against the thread count and the depth
// of each thread's stack.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Controller/Session.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* SamplingClassId = "{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";
constexpr const char* SamplerThreadName = "QV sampling";
constexpr int Rounds = 1000;
constexpr int Repetitions = 5;
constexpr DWORD AcceptMs = 60000;

enum class Mode { None, Floor, Sampling, Idle, FloorWalk };
constexpr int ModeCount = 5;
const char* const ModeNames[] = {"none", "floor", "sampling", "idle", "floorwalk"};

struct Outcome {
    bool ok = false;
    std::string error;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double samplerCpuSeconds = 0;
    std::string out;
};

// A scratch folder for the runs' registry file, logs and reports; removed at exit.
class Scratch {
public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "qv-overhead-XXXXXX").string();
        m_Path = mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
        std::ofstream registry(m_Path / "settings.reg");
        registry << "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
                 << "\"QUORVELAN_PROFILER_TEMP\"=\"" << m_Path.string() << "\"\n"
                 << "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000000\n";
    }
    ~Scratch() {
        std::error_code error;
        fs::remove_all(m_Path, error);
    }
    const fs::path& Path() const { return m_Path; }

private:
    fs::path m_Path;
};

const Scratch& TheScratch() {
    static const Scratch scratch;
    return scratch;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// User and system time of one thread of a process, from its stat file; -1 when it is gone.
double TaskCpuSeconds(pid_t pid, const std::string& task) {
    const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/task/" + task + "/stat");
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU time so far of the process's thread with that name, or -1.
double NamedThreadCpuSeconds(pid_t pid, const char* pName) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(tasks, error)) {
        std::string comm = ReadFile(entry.path() / "comm");
        comm.erase(comm.find_last_not_of('\n') + 1);
        if (comm == pName) {
            return TaskCpuSeconds(pid, entry.path().filename().string());
        }
    }
    return -1;
}

std::vector<std::string> Environment(const std::map<std::string, std::string>& added) {
    std::vector<std::string> variables;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string variable = *p;
        const bool ours = variable.rfind("CORECLR_", 0) == 0 ||
                          variable.rfind("DOTNET_ProfAPI", 0) == 0 ||
                          variable.rfind("QUORVELAN_", 0) == 0 || variable.rfind("QV_", 0) == 0;
        if (!ours) {
            variables.push_back(variable);
        }
    }
    for (const auto& [name, value] : added) {
        variables.push_back(name + "=" + value);
    }
    return variables;
}

// Runs SamplingLoad with the arguments and added variables; watches the named thread's CPU time
// while the process lives.
Outcome RunLoad(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& variables) {
    Outcome outcome;
    std::vector<std::string> command = {QV_DOTNET, QV_SAMPLING_LOAD_DLL};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : command) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment = Environment(variables);
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    const fs::path outPath = TheScratch().Path() / "out.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const Clock::time_point start = Clock::now();
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        outcome.error = std::string("can't start dotnet: ") + std::strerror(spawned);
        return outcome;
    }
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t ended = wait4(pid, &status, WNOHANG, &usage);
        if (ended == pid) {
            break;
        }
        const double sampler = NamedThreadCpuSeconds(pid, SamplerThreadName);
        outcome.samplerCpuSeconds = std::max(outcome.samplerCpuSeconds, sampler);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    outcome.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    outcome.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    outcome.out = ReadFile(outPath);
    outcome.ok = WIFEXITED(status) && WEXITSTATUS(status) == 3;
    if (!outcome.ok) {
        outcome.error =
            "SamplingLoad failed: status " + std::to_string(status) + "\n" + outcome.out;
    }
    return outcome;
}

std::map<std::string, std::string> ProfilerVariables(const std::string& library) {
    return {{"CORECLR_ENABLE_PROFILING", "1"},
            {"CORECLR_PROFILER", SamplingClassId},
            {"CORECLR_PROFILER_PATH", QV_HOST_LIBRARY},
            {"QUORVELAN_PROFILER_LIBRARY", library},
            {"DOTNET_ProfAPI_ProfilerCompatibilitySetting", "EnableV2Profiler"},
            {"QUORVELAN_REGISTRY", (TheScratch().Path() / "settings.reg").string()}};
}

Outcome Run(Mode mode, const std::vector<std::string>& arguments) {
    if (mode == Mode::None) {
        return RunLoad(arguments, {});
    }
    if (mode == Mode::Floor || mode == Mode::FloorWalk) {
        std::map<std::string, std::string> variables = ProfilerVariables(QV_SAMPLING_FLOOR);
        if (mode == Mode::FloorWalk) {
            variables["QV_SAMPLING_FLOOR_MODE"] = "walk";
        }
        return RunLoad(arguments, variables);
    }
    Controller::SessionOptions options;
    options.performance.startAtInitialization = mode == Mode::Sampling;
    Controller::Session session(options);
    std::map<std::string, std::string> variables = ProfilerVariables(QV_PROFILER_LIBRARY);
    variables["QUORVELAN_PROFILER_BRIDGE"] = "127.0.0.1:" + std::to_string(session.Listen());
    auto accepting = std::async(std::launch::async, [&session]() -> std::string {
        try {
            session.Accept(AcceptMs);
            return std::string();
        } catch (const std::exception& e) {
            return e.what();
        }
    });
    Outcome outcome = RunLoad(arguments, variables);
    const std::string acceptError = accepting.get();
    // Only a measuring run saves a snapshot at its end.
    const bool wantSnapshot = mode == Mode::Sampling;
    const auto saved =
        wantSnapshot ? session.WaitFor(Controller::EventKind::Snapshot, AcceptMs) : std::nullopt;
    session.Close();
    if (outcome.ok &&
        (!acceptError.empty() || (wantSnapshot && (!saved || !saved->snapshot->complete)))) {
        outcome.ok = false;
        outcome.error = "no complete snapshot: " + acceptError;
    }
    return outcome;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void BM_Overhead(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const std::vector<std::string> arguments = {"spin", std::to_string(threads),
                                                std::to_string(Rounds), "10"};
    std::map<std::string, std::vector<double>> series;
    for (auto _ : state) {
        const Clock::time_point begin = Clock::now();
        std::string expected;
        for (int round = 0; round < Repetitions; ++round) {
            Outcome outcomes[ModeCount];
            for (int i = 0; i < ModeCount; ++i) {
                const int mode = (round + i) % ModeCount;
                outcomes[mode] = Run(static_cast<Mode>(mode), arguments);
                if (!outcomes[mode].ok) {
                    state.SkipWithError(
                        (std::string(ModeNames[mode]) + ": " + outcomes[mode].error).c_str());
                    return;
                }
                if (expected.empty()) {
                    expected = outcomes[mode].out;
                } else if (outcomes[mode].out != expected) {
                    state.SkipWithError("the program's output changed");
                    return;
                }
            }
            const Outcome& none = outcomes[0];
            const Outcome& floor = outcomes[1];
            const Outcome& sampling = outcomes[2];
            const Outcome& idle = outcomes[3];
            const Outcome& floorWalk = outcomes[4];
            for (int mode = 0; mode < ModeCount; ++mode) {
                series[std::string(ModeNames[mode]) + "_wall_s"].push_back(
                    outcomes[mode].wallSeconds);
                series[std::string(ModeNames[mode]) + "_cpu_s"].push_back(
                    outcomes[mode].cpuSeconds);
            }
            series["floor_wall"].push_back(floor.wallSeconds / none.wallSeconds);
            series["floor_cpu"].push_back(floor.cpuSeconds / none.cpuSeconds);
            series["sampling_wall"].push_back(sampling.wallSeconds / none.wallSeconds);
            series["sampling_cpu"].push_back(sampling.cpuSeconds / none.cpuSeconds);
            series["idle_wall"].push_back(idle.wallSeconds / none.wallSeconds);
            series["idle_cpu"].push_back(idle.cpuSeconds / none.cpuSeconds);
            series["floorwalk_wall"].push_back(floorWalk.wallSeconds / none.wallSeconds);
            series["floorwalk_cpu"].push_back(floorWalk.cpuSeconds / none.cpuSeconds);
            series["sampler_share"].push_back(sampling.samplerCpuSeconds / sampling.cpuSeconds);
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
    }
    for (const auto& [name, values] : series) {
        state.counters[name] = Median(values);
    }
    // Our extra time over the floor's extra time (1 would mean: no more than any sampling).
    const double floorWall = state.counters["floor_wall"] - 1;
    const double floorCpu = state.counters["floor_cpu"] - 1;
    state.counters["added_wall"] =
        floorWall > 0 ? (state.counters["sampling_wall"] - 1) / floorWall : 0;
    state.counters["added_cpu"] =
        floorCpu > 0 ? (state.counters["sampling_cpu"] - 1) / floorCpu : 0;
    // The same against a floor that also walks every thread's stack each turn: what sampling
    // costs here before any profiler does anything with the stacks.
    const double walkCpu = state.counters["floorwalk_cpu"] - 1;
    state.counters["added_cpu_walk"] =
        walkCpu > 0 ? (state.counters["sampling_cpu"] - 1) / walkCpu : 0;
}

void BM_TurnCost(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int depth = static_cast<int>(state.range(1));
    const fs::path report = TheScratch().Path() / "floor-report.txt";
    std::map<std::string, std::string> variables = ProfilerVariables(QV_SAMPLING_FLOOR);
    variables["QV_SAMPLING_FLOOR_MODE"] = "walk";
    variables["QV_SAMPLING_FLOOR_REPORT"] = report.string();
    for (auto _ : state) {
        const Outcome outcome = RunLoad(
            {"spin", std::to_string(threads), std::to_string(Rounds / 2), std::to_string(depth)},
            variables);
        if (!outcome.ok) {
            state.SkipWithError(outcome.error.c_str());
            return;
        }
        state.SetIterationTime(outcome.wallSeconds);
    }
    std::istringstream lines(ReadFile(report));
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos && line.substr(0, equals) != "mode") {
            state.counters[line.substr(0, equals)] = std::stod(line.substr(equals + 1));
        }
    }
    const double frames = state.counters["frames"];
    state.counters["walk_us_per_frame"] = frames > 0 ? state.counters["walk_us"] / frames : 0;
}

BENCHMARK(BM_Overhead)
    ->Arg(1)
    ->Arg(8)
    ->Arg(50)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_TurnCost)
    ->ArgsProduct({{1, 8, 50}, {1, 100}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
