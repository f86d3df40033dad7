#include "ProfileStacks.h"

#include <algorithm>
#include <cmath>

namespace Qvprof {

using Controller::ProfileNode;
using Controller::ProfileTree;

std::vector<uint32_t> ProfileStacks::Path(const ProfileTree& tree, uint32_t node) {
    std::vector<uint32_t> path;
    for (uint32_t at = node; at != ProfileNode::NoParent && at < tree.Nodes().size();
         at = tree.Nodes()[at].parent) {
        if (tree.Nodes()[at].function != ProfileNode::NoFunction) {
            path.push_back(tree.Nodes()[at].function);
        }
    }
    std::reverse(path.begin(), path.end());
    return path;
}

std::vector<uint32_t> ProfileStacks::ChildrenByTotal(const ProfileTree& tree, uint32_t node) {
    std::vector<uint32_t> children = tree.Nodes()[node].children;
    std::stable_sort(children.begin(), children.end(), [&tree](uint32_t a, uint32_t b) {
        return tree.Nodes()[a].totalTicks > tree.Nodes()[b].totalTicks;
    });
    return children;
}

uint64_t ProfileStacks::Nanoseconds(const Controller::Profile& profile, uint64_t ticks) {
    return static_cast<uint64_t>(std::llround(profile.Seconds(ticks) * 1e9));
}

double ProfileStacks::Microseconds(const Controller::Profile& profile, uint64_t ticks) {
    return profile.Seconds(ticks) * 1e6;
}

std::string ProfileStacks::ThreadLabel(const Controller::ThreadProfile& thread) {
    std::string label = "thread " + std::to_string(thread.thread.recordNumber);
    if (!thread.thread.name.empty()) {
        label += " \"" + thread.thread.name + "\"";
    }
    return label;
}

}  // namespace Qvprof
