#include "RecordingEnd.h"

#include <fmt/format.h>

#include <filesystem>

#include "RecordingSummary.h"

#ifndef QVPROF_VERSION
#define QVPROF_VERSION "0"
#endif

namespace Qvprof {

std::string RecordingEnd::ControllerText(const ProfilingOptions& options) {
    return fmt::format("qvprof {} --mode {}", QVPROF_VERSION, ProfilerModes::Name(options.mode));
}

void RecordingEnd::Report(Console& console, const ProfilingOptions& options,
                          const std::vector<ProcessRecord>& records,
                          const std::vector<Diagnostic>& diagnostics) {
    ReportDiagnostics(console, options, diagnostics);
    if (options.logMask) {
        KeepLogFiles(console, options, records);
    }
    if (!options.quiet && !records.empty()) {
        console.Print(RecordingSummary::Format(records, options.mode));
    }
}

void RecordingEnd::ReportDiagnostics(Console& console, const ProfilingOptions& options,
                                     const std::vector<Diagnostic>& diagnostics) {
    bool kindMissing = false;
    for (const Diagnostic& diagnostic : diagnostics) {
        const std::string processes = diagnostic.processCount > 1
                                          ? fmt::format(" ({} processes)", diagnostic.processCount)
                                          : "";
        const std::string line =
            fmt::format("the {} says{}: {}", diagnostic.source, processes, diagnostic.text);
        if (diagnostic.error) {
            console.Error(line);
        } else {
            console.Warning(line);
        }
        kindMissing =
            kindMissing || diagnostic.text.find("Profiler kind is not available in this build") !=
                               std::string::npos;
    }
    if (kindMissing) {
        console.Error(fmt::format(
            "the {} profiler is not part of this build of the profiler library, so the program "
            "ran without it; --mode test loads the test kind, which works today",
            ProfilerModes::Name(options.mode)));
    }
}

void RecordingEnd::KeepLogFiles(Console& console, const ProfilingOptions& options,
                                const std::vector<ProcessRecord>& records) {
    for (const ProcessRecord& record : records) {
        if (record.logFilePath.empty()) {
            continue;
        }
        const std::filesystem::path target =
            std::filesystem::path(options.outputDirectory) /
            fmt::format("{}-{}.log", record.program, record.processId);
        std::error_code error;
        std::filesystem::copy_file(record.logFilePath, target,
                                   std::filesystem::copy_options::overwrite_existing, error);
        if (error) {
            console.Warning(fmt::format("{}: can't keep its log file {}: {}", record.Title(),
                                        record.logFilePath, error.message()));
        } else {
            console.Info(fmt::format("{}: log file kept as {}", record.Title(), target.string()));
        }
    }
}

}  // namespace Qvprof
