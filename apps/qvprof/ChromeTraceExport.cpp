#include "ChromeTraceExport.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "ProfileStacks.h"

namespace Qvprof {

std::string ChromeTraceExport::Write(const Controller::Profile& profile, uint32_t processId) {
    using nlohmann::json;
    json events = json::array();
    for (const Controller::ThreadProfile& thread : profile.Threads()) {
        const uint32_t threadId = thread.thread.recordNumber;
        events.push_back({{"name", "thread_name"},
                          {"ph", "M"},
                          {"pid", processId},
                          {"tid", threadId},
                          {"args", {{"name", ProfileStacks::ThreadLabel(thread)}}}});
        const Controller::ProfileTree& tree = thread.tree;
        // (node, start in ticks); a node's children start where the one before ends.
        std::vector<std::pair<uint32_t, uint64_t>> pending;
        uint64_t start = 0;
        for (uint32_t child : ProfileStacks::ChildrenByTotal(tree, 0)) {
            pending.emplace_back(child, start);
            start += tree.Nodes()[child].totalTicks;
        }
        std::reverse(pending.begin(), pending.end());
        while (!pending.empty()) {
            const auto [index, at] = pending.back();
            pending.pop_back();
            const Controller::ProfileNode& node = tree.Nodes()[index];
            events.push_back(
                {{"name", profile.FunctionName(node.function)},
                 {"cat", "function"},
                 {"ph", "X"},
                 {"pid", processId},
                 {"tid", threadId},
                 {"ts", ProfileStacks::Microseconds(profile, at)},
                 {"dur", ProfileStacks::Microseconds(profile, node.totalTicks)},
                 {"args",
                  {{"calls", node.calls},
                   {"own ms", ProfileStacks::Microseconds(profile, node.ownTicks) / 1000.0}}}});
            const std::vector<uint32_t> children = ProfileStacks::ChildrenByTotal(tree, index);
            uint64_t childStart = at;
            std::vector<std::pair<uint32_t, uint64_t>> laid;
            for (uint32_t child : children) {
                laid.emplace_back(child, childStart);
                childStart += tree.Nodes()[child].totalTicks;
            }
            pending.insert(pending.end(), laid.rbegin(), laid.rend());
        }
    }
    const json file = {{"traceEvents", std::move(events)}, {"displayTimeUnit", "ms"}};
    return file.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace Qvprof
