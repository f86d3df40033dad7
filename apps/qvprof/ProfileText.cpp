#include "ProfileText.h"

#include <fmt/format.h>

namespace Qvprof {

std::string ProfileText::Milliseconds(const Controller::Profile& profile, uint64_t ticks) {
    return fmt::format("{:.3f}", profile.Seconds(ticks) * 1000.0);
}

std::string ProfileText::Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) {
        return "-";
    }
    return fmt::format("{:.1f}%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

uint64_t ProfileText::ThreadTicks(const Controller::ThreadProfile& thread) {
    const Controller::ProfileNode& root = thread.tree.Root();
    if (root.totalTicks != 0) {
        return root.totalTicks;
    }
    uint64_t sum = 0;
    for (uint32_t child : root.children) {
        sum += thread.tree.Nodes()[child].totalTicks;
    }
    return sum;
}

std::string ProfileText::Title(const Controller::Profile& profile,
                               const Controller::ThreadProfile& thread, bool merged) {
    const std::string trees =
        fmt::format("{} call tree{}", thread.treeCount, thread.treeCount == 1 ? "" : "s");
    if (merged) {
        return fmt::format("all threads ({} thread{}, {})", profile.Threads().size(),
                           profile.Threads().size() == 1 ? "" : "s", trees);
    }
    const std::string name = thread.thread.name.empty() ? "" : " \"" + thread.thread.name + "\"";
    return fmt::format("thread {}{} ({})", thread.thread.recordNumber, name, trees);
}

std::vector<std::pair<const Controller::ThreadProfile*, bool>> ProfileText::Threads(
    const Controller::Profile& profile, const ReportOptions& options) {
    std::vector<std::pair<const Controller::ThreadProfile*, bool>> threads;
    if (!options.perThread) {
        threads.emplace_back(&profile.AllThreads(), true);
        return threads;
    }
    for (const Controller::ThreadProfile& thread : profile.Threads()) {
        threads.emplace_back(&thread, false);
    }
    return threads;
}

}  // namespace Qvprof
