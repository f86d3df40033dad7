// What happened to one process that connected to qvprof: who it is, whether it was profiled, and
// the snapshot files written for it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace Qvprof {

struct SavedSnapshot {
    std::string path;
    bool complete = false;
    std::string note;  // why an incomplete snapshot is incomplete
    size_t sections = 0;
    uint64_t bytes = 0;
};

struct ProcessRecord {
    enum class Outcome {
        Connecting,  // the handshake has not ended yet
        Profiled,
        Refused,  // answered at once: it ran without the profiler
        Failed,   // the handshake failed
    };

    unsigned serial = 0;  // in the order the processes connected
    uint32_t processId = 0;
    std::string program;
    std::string commandLine;
    std::string logFilePath;  // the profiler's log file in the process, empty when none
    Outcome outcome = Outcome::Connecting;
    std::string reason;  // why it was refused, or how it failed
    // Still running when the recording ended: qvprof ended the connection and the process ran
    // on without the profiler (a build server, a process started in the background).
    bool letGo = false;
    bool measuring = false;  // the process last reported that it is measuring
    std::vector<SavedSnapshot> snapshots;
    std::vector<std::string> problems;  // errors of the connection, snapshots that were lost
    // What the profiler sent over the connection (its warnings and errors), shown as it came.
    std::set<std::string> profilerMessages;

    // "Sample (pid 4242)".
    std::string Title() const {
        return (program.empty() ? std::string("process") : program) + " (pid " +
               std::to_string(processId) + ")";
    }
};

}  // namespace Qvprof
