#include "SessionSettings.h"

#include <regex>
#include <vector>

#include "Controller/ProtocolConstants.h"

namespace Qvprof {

namespace {

std::string JoinProblems(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& problem : problems) {
        text += (text.empty() ? "" : "; ") + problem;
    }
    return text;
}

// Whether qvprof itself takes heap dumps (the program may still take its own).
bool AsksForDumps(const ProfilingOptions& options) {
    return !options.dumpAfterSeconds.empty() || options.dumpAtEnd;
}

}  // namespace

std::string SessionSettings::Check(const ProfilingOptions& options) {
    std::vector<std::string> problems;
    const std::string mode = ProfilerModes::Name(options.mode);
    const bool memory = options.mode == ProfilerMode::Memory;
    const bool test = options.mode == ProfilerMode::Test;

    if (memory) {
        if (options.timer != TimerKind::Counter) {
            problems.push_back("--timer applies to --mode tracing or sampling, not memory");
        }
        if (options.precise || options.inlining || options.mergeThreads) {
            problems.push_back(
                "--precise, --inlining and --merge-threads apply to --mode tracing or sampling, "
                "not memory");
        }
    }
    if (!memory && !test) {
        if (options.allocationsFactor != 0 || options.trackFinalizers ||
            !options.dumpAfterSeconds.empty() || options.dumpAtEnd) {
            problems.push_back(
                "--allocations, --finalizers, --dump-after and --dump-at-end apply "
                "to --mode memory, not " +
                mode);
        }
    }
    if (options.mode == ProfilerMode::Sampling && (options.precise || options.inlining)) {
        problems.push_back(
            "--precise and --inlining change the tracing kind's call hooks; the "
            "sampling kind has none");
    }
    if (options.apiControl && AsksForDumps(options)) {
        problems.push_back(
            "with --api the program takes its dumps itself: drop --dump-after and "
            "--dump-at-end");
    }
    if (options.apiControl && options.startPaused) {
        problems.push_back(
            "--api and --start-paused exclude each other: with --api the program "
            "starts measuring itself");
    }
    for (double seconds : options.dumpAfterSeconds) {
        if (!(seconds > 0)) {
            problems.push_back("--dump-after takes a number of seconds above 0");
            break;
        }
    }
    if (options.durationSeconds < 0) {
        problems.push_back("--duration takes a number of seconds above 0");
    }
    if (!options.match.empty()) {
        try {
            std::regex pattern(options.match);
        } catch (const std::regex_error& error) {
            problems.push_back("--match '" + options.match +
                               "' is not a valid regular expression (" + error.what() + ")");
        }
    }
    return JoinProblems(problems);
}

std::string SessionSettings::Advise(const ProfilingOptions& options) {
    // The allocations' stack section closes only with the snapshot, which a heap dump closes; a
    // process that ends by itself drops its open snapshot and the stacks with it.
    if (options.mode == ProfilerMode::Memory && options.allocationsFactor != 0 &&
        !AsksForDumps(options) && !options.apiControl) {
        return "--allocations without --dump-after or --dump-at-end: the stacks of sampled "
               "allocations are saved only with a heap dump, and a process that ends before "
               "one (taken here only by SIGUSR1) loses them";
    }
    return {};
}

Controller::SessionOptions SessionSettings::Build(const ProfilingOptions& options,
                                                  const std::string& controllerText) {
    Controller::SessionOptions session;
    session.snapshotType = options.snapshotFiles ? Controller::SnapshotTypeFileSystem
                                                 : Controller::SnapshotTypeBridgeStream;
    // The files are read into the snapshot qvprof saves; the work folder goes at the end anyway.
    session.removeFileSnapshots = true;
    session.controlKind =
        options.apiControl ? Controller::ControlKindApi : Controller::ControlKindManual;
    session.controllerText = controllerText;
    // Under manual control the profiler opens the first snapshot when the runtime is ready,
    // unless the user starts it later.
    const bool openAtStart = !options.apiControl && !options.startPaused;

    Controller::PerformanceSettings& performance = session.performance;
    performance.startAtInitialization = openAtStart;
    performance.allowInlining = options.inlining;
    performance.measureKind = static_cast<uint8_t>(options.timer);
    performance.mergeThreadsByName = options.mergeThreads;
    performance.precision = options.precise;

    Controller::MemorySettings& memory = session.memory;
    memory.snapshotAtStart = openAtStart;
    memory.allocationsFactor = options.allocationsFactor;
    memory.trackFinalizers = options.trackFinalizers;
    return session;
}

}  // namespace Qvprof
