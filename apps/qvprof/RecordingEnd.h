// What `record` and `listen` print when a recording ends: what the host and the profiler said
// about processes they could not profile, the profiler's log files when they were asked for, and
// the summary of processes and snapshot files.
#pragma once

#include <string>
#include <vector>

#include "Console.h"
#include "ProcessRecord.h"
#include "ProfilerDiagnostics.h"
#include "ProfilingOptions.h"

namespace Qvprof {

class RecordingEnd {
public:
    // The text every snapshot's environment record carries: qvprof's version and mode.
    static std::string ControllerText(const ProfilingOptions& options);

    static void Report(Console& console, const ProfilingOptions& options,
                       const std::vector<ProcessRecord>& records,
                       const std::vector<Diagnostic>& diagnostics);

private:
    static void ReportDiagnostics(Console& console, const ProfilingOptions& options,
                                  const std::vector<Diagnostic>& diagnostics);
    // Copies each profiled process's log file beside its snapshots as "<program>-<pid>.log".
    static void KeepLogFiles(Console& console, const ProfilingOptions& options,
                             const std::vector<ProcessRecord>& records);
};

}  // namespace Qvprof
