#include "AllocationsView.h"

#include <fmt/format.h>

#include <algorithm>

namespace Qvprof {

namespace {

// Frames shown per stack; the outermost ones are rarely what the reader looks for.
constexpr size_t FramesShown = 8;

}  // namespace

std::string AllocationsView::Write(const SnapshotContents& contents,
                                   const ReportOptions& options) const {
    const auto& stacks = contents.Heap()->Allocations();
    uint64_t total = 0;
    for (const auto& stack : stacks) {
        total += stack.count;
    }
    std::string text =
        fmt::format("\nSampled allocations: {} from {} stacks\n", total, stacks.size());
    if (const size_t lost = contents.Heap()->Heap().allocationsWithoutStack; lost > 0) {
        text += fmt::format(
            "  {} sampled allocation{} without stack{}: the profiler dropped the snapshot "
            "while their stack section was still being written\n",
            lost, lost == 1 ? "" : "s", lost == 1 ? "" : "s");
    }
    const size_t shown =
        options.limit == 0 ? stacks.size() : std::min(options.limit, stacks.size());
    for (size_t i = 0; i < shown; ++i) {
        const auto& stack = stacks[i];
        text += fmt::format(
            "  {} allocation{}, {:.1f}%\n", stack.count, stack.count == 1 ? "" : "s",
            total == 0 ? 0.0
                       : 100.0 * static_cast<double>(stack.count) / static_cast<double>(total));
        if (stack.frames.empty()) {
            text += "      [no managed frame]\n";
        }
        const size_t frames = std::min(FramesShown, stack.frames.size());
        for (size_t f = 0; f < frames; ++f) {
            text += "      " + stack.frames[stack.frames.size() - 1 - f] + "\n";
        }
        if (frames < stack.frames.size()) {
            text += fmt::format("      ... {} outer frames\n", stack.frames.size() - frames);
        }
    }
    if (shown < stacks.size()) {
        text +=
            fmt::format("  ... and {} more stacks (--limit 0 shows all)\n", stacks.size() - shown);
    }
    return text;
}

}  // namespace Qvprof
