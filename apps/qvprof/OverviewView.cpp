#include "OverviewView.h"

#include <fmt/format.h>

#include <chrono>
#include <map>

#include "Platform/Com.h"
#include "RecordingSummary.h"
#include "SectionCatalog.h"
#include "TextTable.h"

namespace Qvprof {

namespace {

using Controller::EnvironmentRecord;

std::string Version(const std::array<uint16_t, 4>& parts) {
    return fmt::format("{}.{}.{}.{}", parts[0], parts[1], parts[2], parts[3]);
}

std::string Architecture(uint16_t code) {
    switch (code) {
        case 0:
            return "x86";
        case 5:
            return "ARM";
        case 9:
            return "x86-64";
        case 12:
            return "ARM64";
        default:
            return fmt::format("architecture {}", code);
    }
}

std::string Field(const char* pLabel, const std::string& value) {
    return fmt::format("{:<10} {}\n", pLabel, value);
}

}  // namespace

std::string OverviewView::FormatFileTime(uint64_t fileTime) {
    if (fileTime == 0) {
        return "unknown";
    }
    // File times count 100 ns units from 1601-01-01; the Unix epoch is 11644473600 s later.
    const int64_t seconds = static_cast<int64_t>(fileTime / 10000000) - 11644473600LL;
    const std::chrono::sys_seconds time{std::chrono::seconds(seconds)};
    const auto day = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{time - day};
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", static_cast<int>(date.year()),
                       static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                       clock.hours().count(), clock.minutes().count(), clock.seconds().count());
}

std::string OverviewView::Identity(const SnapshotContents& contents) {
    const Controller::Snapshot& snapshot = contents.Snapshot();
    std::string state = snapshot.complete  ? "complete"
                        : snapshot.aborted ? "aborted by the profiler: " + snapshot.note
                                           : "incomplete: " + snapshot.note;
    return Field("File", fmt::format("{} ({})", contents.Path(),
                                     RecordingSummary::Size(contents.FileSize()))) +
           Field("Snapshot", fmt::format("{}, number {} of its process, sequence {} #{}, {}, {}",
                                         contents.KindName(), snapshot.index + 1,
                                         Platform::GuidToString(snapshot.sequence),
                                         snapshot.sequenceNumber, state,
                                         snapshot.origin == Controller::SnapshotOrigin::FileStorage
                                             ? "written to files on the device"
                                             : "received over the bridge"));
}

std::string OverviewView::Environment(const EnvironmentRecord& record) {
    std::string machine = fmt::format(
        "{}, {} processors, page size {}, OS {}.{} build {} platform {}",
        Architecture(record.processorArchitecture), record.processorCount, record.pageSize,
        record.osMajorVersion, record.osMinorVersion, record.osBuildNumber, record.osPlatformId);
    if (!record.servicePack.empty()) {
        machine += " (" + record.servicePack + ")";
    }
    if (!record.deviceImageVersion.empty()) {
        machine += ", image " + record.deviceImageVersion;
    }
    std::string text =
        Field("Process", record.commandLine) +
        Field("", "process " + Platform::GuidToString(record.processGuid)) +
        Field("Taken", FormatFileTime(record.localTime) + " (the machine's local time)") +
        Field("Runtime", fmt::format("{} {}, profiling interface {}",
                                     EnvironmentRecord::RuntimeTypeName(record.runtimeType),
                                     Version(record.runtimeVersion), record.interfaceLevel)) +
        Field("Machine", machine) +
        Field("Profiler", fmt::format("{}, built {}", Version(record.profilerVersion),
                                      FormatFileTime(record.profilerBuildTime)));
    if (!record.controllerText.empty()) {
        text += Field("Recorded", record.controllerText);
    }
    return text;
}

std::string OverviewView::Sections(const Controller::Snapshot& snapshot) {
    struct Group {
        size_t count = 0;
        uint64_t bytes = 0;
    };
    // By type and version; unfinished sections apart.
    std::map<std::tuple<bool, uint16_t, uint16_t>, Group> groups;
    for (const Controller::SnapshotSection& section : snapshot.sections) {
        Group& group = groups[{!section.closed, section.type, section.version}];
        ++group.count;
        group.bytes += section.bytes.size();
    }
    TextTable table({{"type"},
                     {"version", TextTable::Align::Right},
                     {"count", TextTable::Align::Right},
                     {"bytes", TextTable::Align::Right},
                     {"holds"}});
    for (const auto& [key, group] : groups) {
        const auto& [unfinished, type, version] = key;
        table.AddRow({fmt::format("{:#06x}", type), std::to_string(version),
                      std::to_string(group.count), std::to_string(group.bytes),
                      unfinished ? "unfinished section" : SectionCatalog::Describe(type)});
    }
    return fmt::format("\nSections ({}):\n", snapshot.sections.size()) + table.Render();
}

std::string OverviewView::Write(const SnapshotContents& contents, const ReportOptions&) const {
    std::string text = Identity(contents);
    if (contents.Environment()) {
        text += Environment(*contents.Environment());
    } else {
        text += Field("Process", "unknown: the snapshot has no readable environment record");
    }
    text += Sections(contents.Snapshot());
    if (!contents.Problems().empty()) {
        text += "\nSections that could not be read:\n";
        for (const std::string& problem : contents.Problems()) {
            text += "  " + problem + "\n";
        }
    }
    return text;
}

}  // namespace Qvprof
