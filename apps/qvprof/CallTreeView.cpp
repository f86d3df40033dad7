#include "CallTreeView.h"

#include <fmt/format.h>

#include <algorithm>

#include "ProfileText.h"

namespace Qvprof {

namespace {

using Controller::ProfileNode;

class TreeWriter {
public:
    TreeWriter(const Controller::Profile& profile, const Controller::ProfileTree& tree,
               uint64_t threadTicks, const ReportOptions& options)
        : m_Profile(profile), m_Tree(tree), m_ThreadTicks(threadTicks), m_Options(options) {}

    std::string Write() {
        Children(m_Tree.Root(), 0);
        if (m_Hidden != 0) {
            m_Text +=
                fmt::format("  ({} call{} under {}% or deeper than {} levels left out)\n", m_Hidden,
                            m_Hidden == 1 ? "" : "s", m_Options.threshold, m_Options.depth);
        }
        return m_Text;
    }

private:
    void Children(const ProfileNode& node, size_t depth) {
        std::vector<uint32_t> children = node.children;
        std::stable_sort(children.begin(), children.end(), [this](uint32_t a, uint32_t b) {
            return m_Tree.Nodes()[a].totalTicks > m_Tree.Nodes()[b].totalTicks;
        });
        for (uint32_t index : children) {
            const ProfileNode& child = m_Tree.Nodes()[index];
            const double share = m_ThreadTicks == 0
                                     ? 100.0
                                     : 100.0 * static_cast<double>(child.totalTicks) /
                                           static_cast<double>(m_ThreadTicks);
            if (depth >= m_Options.depth || share < m_Options.threshold) {
                m_Hidden += Count(child);
                continue;
            }
            m_Text +=
                fmt::format("  {:>6} {:>12} {:>12} {:>8}  {}{}\n",
                            ProfileText::Percent(child.totalTicks, m_ThreadTicks),
                            ProfileText::Milliseconds(m_Profile, child.totalTicks),
                            ProfileText::Milliseconds(m_Profile, child.ownTicks), child.calls,
                            std::string(2 * depth, ' '), m_Profile.FunctionName(child.function));
            Children(child, depth + 1);
        }
    }

    size_t Count(const ProfileNode& node) const {
        size_t count = 1;
        for (uint32_t child : node.children) {
            count += Count(m_Tree.Nodes()[child]);
        }
        return count;
    }

    const Controller::Profile& m_Profile;
    const Controller::ProfileTree& m_Tree;
    const uint64_t m_ThreadTicks;
    const ReportOptions& m_Options;
    std::string m_Text;
    size_t m_Hidden = 0;
};

}  // namespace

std::string CallTreeView::Write(const SnapshotContents& contents,
                                const ReportOptions& options) const {
    const Controller::Profile& profile = *contents.Profile();
    std::string text;
    for (const auto& [pThread, merged] : ProfileText::Threads(profile, options)) {
        const uint64_t ticks = ProfileText::ThreadTicks(*pThread);
        text += fmt::format("\nCall tree, {}: {} ms measured\n",
                            ProfileText::Title(profile, *pThread, merged),
                            ProfileText::Milliseconds(profile, ticks));
        text += fmt::format("  {:>6} {:>12} {:>12} {:>8}  {}\n", "%", "total ms", "own ms", "calls",
                            "function");
        text += TreeWriter(profile, pThread->tree, ticks, options).Write();
    }
    return text;
}

}  // namespace Qvprof
