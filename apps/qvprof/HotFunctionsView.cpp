#include "HotFunctionsView.h"

#include <fmt/format.h>

#include <algorithm>

#include "ProfileText.h"
#include "TextTable.h"

namespace Qvprof {

namespace {

using Controller::FunctionSummary;

std::string Table(const Controller::Profile& profile, std::vector<const FunctionSummary*> rows,
                  uint64_t threadTicks, bool byOwn, size_t limit) {
    std::stable_sort(rows.begin(), rows.end(), [byOwn](const auto* pA, const auto* pB) {
        return byOwn ? pA->ownTicks > pB->ownTicks : pA->totalTicks > pB->totalTicks;
    });
    const size_t shown = limit == 0 ? rows.size() : std::min(limit, rows.size());
    TextTable table({{byOwn ? "own ms" : "total ms", TextTable::Align::Right},
                     {"%", TextTable::Align::Right},
                     {byOwn ? "total ms" : "own ms", TextTable::Align::Right},
                     {"calls", TextTable::Align::Right},
                     {"function"}});
    for (size_t i = 0; i < shown; ++i) {
        const FunctionSummary& row = *rows[i];
        const uint64_t first = byOwn ? row.ownTicks : row.totalTicks;
        const uint64_t second = byOwn ? row.totalTicks : row.ownTicks;
        table.AddRow({ProfileText::Milliseconds(profile, first),
                      ProfileText::Percent(first, threadTicks),
                      ProfileText::Milliseconds(profile, second), std::to_string(row.calls),
                      profile.FunctionName(row.function) + (row.recursive ? " (recursive)" : "")});
    }
    std::string text = table.Render();
    if (shown < rows.size()) {
        text += fmt::format("  ... and {} more (--limit 0 shows all)\n", rows.size() - shown);
    }
    return text;
}

}  // namespace

std::string HotFunctionsView::Write(const SnapshotContents& contents,
                                    const ReportOptions& options) const {
    const Controller::Profile& profile = *contents.Profile();
    std::string text;
    for (const auto& [pThread, merged] : ProfileText::Threads(profile, options)) {
        const uint64_t ticks = ProfileText::ThreadTicks(*pThread);
        std::vector<const FunctionSummary*> rows;
        for (const FunctionSummary& summary : pThread->functions) {
            rows.push_back(&summary);
        }
        text += fmt::format("\nHottest functions, {}: {} ms measured\n",
                            ProfileText::Title(profile, *pThread, merged),
                            ProfileText::Milliseconds(profile, ticks));
        text += "By own time:\n" + Table(profile, rows, ticks, true, options.limit);
        text += "By total time:\n" + Table(profile, rows, ticks, false, options.limit);
    }
    return text;
}

}  // namespace Qvprof
