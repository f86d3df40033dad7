// What the host agent and the profiler said about processes that could not be profiled: the
// host's lines ("Quorvelan host[<pid>]: <text>") from the file named by QUORVELAN_HOST_LOG, and
// the error and warning lines of the profiler's log files. Identical texts from several processes
// are reported once, with the number of processes.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace Qvprof {

struct Diagnostic {
    std::string source;  // "host" or "profiler"
    std::string text;
    size_t processCount = 0;
    bool error = false;  // an error line of the profiler's log, not a warning
};

// One profiler log file as qvprof knew its process.
struct ProfilerLog {
    std::string contents;
    // Texts the process's profiler already sent over the connection (shown as they came).
    std::set<std::string> shown;
};

// What qvprof knows of a log file it finds: the process it belongs to was refused or let go
// (`leftOut`), or sent the texts in `shown` while it ran.
struct KnownLogFile {
    std::string path;
    bool leftOut = false;
    std::set<std::string> shown;
};

class ProfilerDiagnostics {
public:
    // The host's lines, grouped by text.
    static std::vector<Diagnostic> FromHostLog(const std::string& contents);
    // The ERROR and WARNING lines of one profiler log file per process, grouped by kind and
    // text; a text the process's profiler already sent over the connection is left out.
    static std::vector<Diagnostic> FromProfilerLogs(const std::vector<ProfilerLog>& logs);

    // Both, read from the files; missing files give nothing. The log files of processes qvprof
    // refused or let go while they ran are left out: their profiler reports the connection qvprof
    // ended as an error.
    static std::vector<Diagnostic> Collect(const std::filesystem::path& hostLog,
                                           const std::filesystem::path& profilerTemporary,
                                           const std::vector<KnownLogFile>& known);
};

}  // namespace Qvprof
