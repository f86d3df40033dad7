#include "RecordingSummary.h"

#include <fmt/format.h>

namespace Qvprof {

namespace {

std::string Plural(size_t count, const char* pOne, const char* pMany) {
    return fmt::format("{} {}", count, count == 1 ? pOne : pMany);
}

std::string Describe(const SavedSnapshot& snapshot) {
    std::string text =
        fmt::format("{} ({}, {}", snapshot.path, RecordingSummary::Size(snapshot.bytes),
                    Plural(snapshot.sections, "section", "sections"));
    if (!snapshot.complete) {
        text += ", incomplete: " + snapshot.note;
    }
    return text + ")";
}

}  // namespace

std::string RecordingSummary::Size(uint64_t bytes) {
    if (bytes < 1024) {
        return Plural(bytes, "byte", "bytes");
    }
    if (bytes < 1024 * 1024) {
        return fmt::format("{:.1f} KB", bytes / 1024.0);
    }
    return fmt::format("{:.1f} MB", bytes / (1024.0 * 1024.0));
}

std::string RecordingSummary::Line(const ProcessRecord& record, ProfilerMode mode) {
    std::string line = "  " + record.Title() + ": ";
    switch (record.outcome) {
        case ProcessRecord::Outcome::Connecting:
            return line + "connected, but the handshake never ended";
        case ProcessRecord::Outcome::Refused:
            return line + "not profiled: " + record.reason;
        case ProcessRecord::Outcome::Failed:
            return line + "not profiled: " + record.reason;
        case ProcessRecord::Outcome::Profiled:
            break;
    }
    if (record.snapshots.empty()) {
        line += mode == ProfilerMode::Test ? "profiled, no snapshot (the test kind makes none)"
                                           : "profiled, no snapshot";
    }
    for (size_t i = 0; i < record.snapshots.size(); ++i) {
        line += (i == 0 ? "" : "\n      ") + Describe(record.snapshots[i]);
    }
    if (record.letGo) {
        line += "\n      still running at the end: let go, it runs on without the profiler";
    }
    for (const std::string& problem : record.problems) {
        line += "\n      " + problem;
    }
    return line;
}

std::string RecordingSummary::Format(const std::vector<ProcessRecord>& records, ProfilerMode mode) {
    size_t profiled = 0;
    size_t snapshots = 0;
    for (const ProcessRecord& record : records) {
        profiled += record.outcome == ProcessRecord::Outcome::Profiled ? 1 : 0;
        snapshots += record.snapshots.size();
    }
    std::string text = fmt::format("qvprof: {} connected, {} profiled, {} written:\n",
                                   Plural(records.size(), "process", "processes"), profiled,
                                   Plural(snapshots, "snapshot", "snapshots"));
    for (const ProcessRecord& record : records) {
        text += Line(record, mode) + "\n";
    }
    return text;
}

}  // namespace Qvprof
