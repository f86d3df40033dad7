// What the host agent and the profiler said about processes that could not be profiled: the
// host's lines ("Quorvelan host[<pid>]: <text>") from the file named by QUORVELAN_HOST_LOG, and
// the error and warning lines of the profiler's log files. Identical texts from several processes
// are reported once, with the number of processes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Qvprof {

struct Diagnostic {
    std::string source;  // "host" or "profiler"
    std::string text;
    size_t processCount = 0;
};

class ProfilerDiagnostics {
public:
    // The host's lines, grouped by text.
    static std::vector<Diagnostic> FromHostLog(const std::string& contents);
    // The ERROR and WARNING lines of one profiler log file per process, grouped by text.
    static std::vector<Diagnostic> FromProfilerLogs(const std::vector<std::string>& logs);

    // Both, read from the files; missing files give nothing. The log files in `skipped` are left
    // out: those of processes qvprof refused or let go while they ran, whose profiler reports
    // the connection qvprof ended as an error.
    static std::vector<Diagnostic> Collect(const std::filesystem::path& hostLog,
                                           const std::filesystem::path& profilerTemporary,
                                           const std::vector<std::string>& skipped);
};

}  // namespace Qvprof
