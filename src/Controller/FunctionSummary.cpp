#include "Controller/FunctionSummary.h"

#include <algorithm>
#include <unordered_map>

namespace Controller {

namespace {

void SortEdges(std::vector<FunctionEdge>& edges) {
    std::sort(edges.begin(), edges.end(), [](const FunctionEdge& x, const FunctionEdge& y) {
        return x.totalTicks != y.totalTicks ? x.totalTicks > y.totalTicks : x.function < y.function;
    });
}

// The summaries of one tree while they are collected: function number to slot, and every
// caller-callee pair to its edge.
class Collector {
public:
    FunctionSummary& Summary(uint32_t function) {
        const auto [it, added] = m_Slots.emplace(function, m_Summaries.size());
        if (added) {
            m_Summaries.emplace_back().function = function;
        }
        return m_Summaries[it->second];
    }

    void AddEdge(uint32_t caller, uint32_t callee, uint64_t calls, uint64_t total) {
        const auto [it, added] =
            m_Edges.emplace(uint64_t{caller} << 32 | callee, FunctionEdge{callee, 0, 0});
        it->second.calls += calls;
        it->second.totalTicks += total;
    }

    std::vector<FunctionSummary> Finish() {
        for (const auto& [key, edge] : m_Edges) {
            const uint32_t caller = static_cast<uint32_t>(key >> 32);
            Summary(edge.function).callers.push_back({caller, edge.calls, edge.totalTicks});
            if (caller != ProfileNode::NoFunction) {
                Summary(caller).callees.push_back(edge);
            }
        }
        for (FunctionSummary& summary : m_Summaries) {
            SortEdges(summary.callers);
            SortEdges(summary.callees);
        }
        std::sort(m_Summaries.begin(), m_Summaries.end(),
                  [](const FunctionSummary& x, const FunctionSummary& y) {
                      return x.totalTicks != y.totalTicks ? x.totalTicks > y.totalTicks
                                                          : x.function < y.function;
                  });
        return std::move(m_Summaries);
    }

private:
    std::vector<FunctionSummary> m_Summaries;
    std::unordered_map<uint32_t, size_t> m_Slots;
    std::unordered_map<uint64_t, FunctionEdge> m_Edges;
};

}  // namespace

std::vector<FunctionSummary> SummarizeFunctions(const ProfileTree& tree) {
    const std::vector<ProfileNode>& nodes = tree.Nodes();
    Collector collector;
    // Depth first, knowing how often each function is open on the path to the current node.
    std::unordered_map<uint32_t, uint32_t> open;
    struct Visit {
        uint32_t node;
        size_t nextChild;
    };
    std::vector<Visit> stack{{0, 0}};
    while (!stack.empty()) {
        Visit& visit = stack.back();
        const ProfileNode& node = nodes[visit.node];
        if (visit.nextChild == node.children.size()) {
            if (visit.node != 0) {
                --open[node.function];
            }
            stack.pop_back();
            continue;
        }
        const uint32_t childIndex = node.children[visit.nextChild++];
        const ProfileNode& child = nodes[childIndex];
        uint32_t& depth = open[child.function];
        const bool outermost = depth == 0;
        FunctionSummary& summary = collector.Summary(child.function);
        summary.calls += child.calls;
        summary.ownTicks += child.ownTicks;
        summary.totalTicks += outermost ? child.totalTicks : 0;
        summary.recursive = summary.recursive || !outermost;
        summary.flags |= child.flags;
        ++summary.nodes;
        collector.AddEdge(node.function, child.function, child.calls,
                          outermost ? child.totalTicks : 0);
        ++depth;
        stack.push_back({childIndex, 0});
    }
    return collector.Finish();
}

}  // namespace Controller
