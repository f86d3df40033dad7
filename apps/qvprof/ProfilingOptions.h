// What the user chose on the command line of `qvprof record` and `qvprof listen`: the profiler
// kind and its settings, which processes to profile, when to stop and where the snapshots go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ProfilerMode.h"

namespace Qvprof {

enum class TimerKind : uint8_t {
    Counter = 0,     // the monotonic performance counter (wall-clock time)
    ThreadTime = 1,  // each thread's CPU time
    Tsc = 2,         // the processor's time-stamp counter
};

struct ProfilingOptions {
    ProfilerMode mode = ProfilerMode::Tracing;

    // Performance kinds.
    TimerKind timer = TimerKind::Counter;
    bool precise = false;
    bool inlining = false;
    bool mergeThreads = false;
    // Neither kind measures from the start: the program's own API calls (`api`) or qvprof's
    // Start (SIGUSR1) begin measuring.
    bool startPaused = false;
    bool apiControl = false;

    // Memory kind.
    uint32_t allocationsFactor = 0;  // record every n-th allocation with its stack; 0 none
    bool trackFinalizers = false;
    std::vector<double> dumpAfterSeconds;
    bool dumpAtEnd = false;

    // Processes.
    bool firstOnly = false;
    std::string match;  // ECMAScript regular expression searched in the command line; empty: any

    // Recording.
    double durationSeconds = 0;  // 0: until the program ends or Ctrl-C
    std::string outputDirectory = ".";
    uint16_t port = 0;
    std::optional<uint32_t> logMask;  // keep the profiler's log files, with this component mask
    bool quiet = false;
    // The profiled process writes each snapshot to files in qvprof's work folder, read when the
    // snapshot is complete, instead of streaming it section by section.
    bool snapshotFiles = false;

    // `record` only: the program and its arguments.
    std::vector<std::string> command;
};

}  // namespace Qvprof
