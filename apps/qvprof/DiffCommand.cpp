#include "DiffCommand.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "ExitCodes.h"
#include "ExportCommand.h"
#include "ProfileDiff.h"
#include "TextTable.h"

namespace Qvprof {

namespace {

std::string Signed(double value) {
    return fmt::format("{:+.3f}", value);
}

// "+12.5%", "new" when there was nothing before, "-" when nothing changed from nothing.
std::string Relative(double before, double after) {
    if (before == 0) {
        return after == 0 ? "-" : "new";
    }
    return fmt::format("{:+.1f}%", 100.0 * (after - before) / before);
}

struct ClassChange {
    std::string name;
    uint64_t bytesBefore = 0, bytesAfter = 0, countBefore = 0, countAfter = 0;
    int64_t Change() const {
        return static_cast<int64_t>(bytesAfter) - static_cast<int64_t>(bytesBefore);
    }
};

const Controller::HeapModel::Dump& LastDump(const SnapshotContents& contents) {
    if (!contents.Heap() || contents.Heap()->Dumps().empty()) {
        throw std::runtime_error("'" + contents.Path() + "' holds no heap dump");
    }
    return contents.Heap()->Dumps().back();
}

// The classes of the last heap dump of each, by the change of their live bytes.
std::string HeapDiff(const SnapshotContents& before, const SnapshotContents& after, size_t limit) {
    std::map<std::string, ClassChange> byName;
    for (const auto& row : LastDump(before).classes) {
        ClassChange& change = byName[row.name];
        change.name = row.name;
        change.bytesBefore = row.bytes;
        change.countBefore = row.count;
    }
    for (const auto& row : LastDump(after).classes) {
        ClassChange& change = byName[row.name];
        change.name = row.name;
        change.bytesAfter = row.bytes;
        change.countAfter = row.count;
    }
    std::vector<ClassChange> changes;
    for (const auto& [name, change] : byName) {
        if (change.Change() != 0 || change.countBefore != change.countAfter) {
            changes.push_back(change);
        }
    }
    std::stable_sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) {
        return std::llabs(a.Change()) > std::llabs(b.Change());
    });
    const size_t shown = limit == 0 ? changes.size() : std::min(limit, changes.size());
    TextTable table({{"bytes change", TextTable::Align::Right},
                     {"%", TextTable::Align::Right},
                     {"bytes A", TextTable::Align::Right},
                     {"bytes B", TextTable::Align::Right},
                     {"objects A", TextTable::Align::Right},
                     {"objects B", TextTable::Align::Right},
                     {"class"}});
    for (size_t i = 0; i < shown; ++i) {
        const ClassChange& row = changes[i];
        table.AddRow(
            {fmt::format("{:+}", row.Change()),
             Relative(static_cast<double>(row.bytesBefore), static_cast<double>(row.bytesAfter)),
             std::to_string(row.bytesBefore), std::to_string(row.bytesAfter),
             std::to_string(row.countBefore), std::to_string(row.countAfter), row.name});
    }
    std::string text =
        fmt::format("A: {}\nB: {}\nClasses by change of live bytes, last heap dump of each:\n",
                    before.Path(), after.Path());
    text += table.Render();
    if (shown < changes.size()) {
        text += fmt::format("  ... and {} more (--limit 0 shows all)\n", changes.size() - shown);
    }
    return text;
}

}  // namespace

std::string DiffCommand::Diff(const SnapshotContents& before, const SnapshotContents& after,
                              const DiffOptions& options) {
    if (before.KindName() != after.KindName()) {
        throw std::runtime_error("'" + before.Path() + "' is a " + before.KindName() +
                                 " snapshot and '" + after.Path() + "' a " + after.KindName() +
                                 " snapshot: diff compares two snapshots of one kind");
    }
    if (before.Heap() || after.Heap()) {
        return HeapDiff(before, after, options.limit);
    }
    const bool byOwn = options.by != "total";
    const std::vector<FunctionChange> changes = ProfileDiff::Compare(
        ExportCommand::ProfileOf(before), ExportCommand::ProfileOf(after), byOwn);
    const size_t shown =
        options.limit == 0 ? changes.size() : std::min(options.limit, changes.size());
    TextTable table({{byOwn ? "own ms change" : "total ms change", TextTable::Align::Right},
                     {"%", TextTable::Align::Right},
                     {"own ms A", TextTable::Align::Right},
                     {"own ms B", TextTable::Align::Right},
                     {"total ms A", TextTable::Align::Right},
                     {"total ms B", TextTable::Align::Right},
                     {"calls A", TextTable::Align::Right},
                     {"calls B", TextTable::Align::Right},
                     {"function"}});
    for (size_t i = 0; i < shown; ++i) {
        const FunctionChange& row = changes[i];
        table.AddRow({Signed(byOwn ? row.OwnChange() : row.TotalChange()),
                      byOwn ? Relative(row.ownBefore, row.ownAfter)
                            : Relative(row.totalBefore, row.totalAfter),
                      fmt::format("{:.3f}", row.ownBefore), fmt::format("{:.3f}", row.ownAfter),
                      fmt::format("{:.3f}", row.totalBefore), fmt::format("{:.3f}", row.totalAfter),
                      std::to_string(row.callsBefore), std::to_string(row.callsAfter), row.name});
    }
    std::string text = fmt::format("A: {}\nB: {}\nFunctions by change of {} time, all threads:\n",
                                   before.Path(), after.Path(), byOwn ? "own" : "total");
    text += table.Render();
    if (shown < changes.size()) {
        text += fmt::format("  ... and {} more (--limit 0 shows all)\n", changes.size() - shown);
    }
    return text;
}

int DiffCommand::Run(const DiffOptions& options, Console& console) {
    try {
        AnnounceLargeSnapshot(options.before, console);
        const SnapshotContents before = SnapshotContents::Load(options.before);
        AnnounceLargeSnapshot(options.after, console);
        const SnapshotContents after = SnapshotContents::Load(options.after);
        const std::string text = Diff(before, after, options);
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        return ExitSuccess;
    } catch (const std::exception& error) {
        console.Error(error.what());
        return ExitFailure;
    }
}

}  // namespace Qvprof
