#include "DiffCommand.h"

#include <fmt/format.h>

#include <cstdio>

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

}  // namespace

std::string DiffCommand::Diff(const SnapshotContents& before, const SnapshotContents& after,
                              const DiffOptions& options) {
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
        const SnapshotContents before = SnapshotContents::Load(options.before);
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
