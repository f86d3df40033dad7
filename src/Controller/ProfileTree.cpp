#include "Controller/ProfileTree.h"

namespace Controller {

ProfileTree::ProfileTree() : m_Nodes(1) {}

uint32_t ProfileTree::Child(uint32_t parent, uint32_t function) {
    const uint64_t key = uint64_t{parent} << 32 | function;
    const auto found = m_ChildByFunction.find(key);
    if (found != m_ChildByFunction.end()) {
        return found->second;
    }
    const uint32_t child = static_cast<uint32_t>(m_Nodes.size());
    ProfileNode node;
    node.function = function;
    node.parent = parent;
    m_Nodes.push_back(std::move(node));
    m_Nodes[parent].children.push_back(child);
    m_ChildByFunction.emplace(key, child);
    return child;
}

void ProfileTree::Accumulate(ProfileNode& into, uint64_t calls, uint64_t total, uint64_t own,
                             uint8_t flags) {
    into.calls += calls;
    into.totalTicks += total;
    into.ownTicks += own;
    into.flags |= flags;
}

void ProfileTree::Add(const CallTree& tree,
                      const std::function<uint32_t(const CallTreeNode&)>& functionOf) {
    const std::vector<CallTreeNode>& nodes = tree.Nodes();
    // Call-tree records put parents after their children: backwards, every parent comes first.
    std::vector<uint32_t> mapped(nodes.size());
    for (size_t i = nodes.size(); i-- > 0;) {
        const CallTreeNode& node = nodes[i];
        mapped[i] = node.parent == CallTreeNode::NoParent
                        ? 0
                        : Child(mapped[node.parent], functionOf(node));
        Accumulate(m_Nodes[mapped[i]], node.calls, node.totalTime, node.ownTime, node.flags);
    }
}

void ProfileTree::Add(const ProfileTree& other) {
    std::vector<uint32_t> mapped(other.m_Nodes.size());
    for (size_t i = 0; i < other.m_Nodes.size(); ++i) {
        const ProfileNode& node = other.m_Nodes[i];
        mapped[i] = i == 0 ? 0 : Child(mapped[node.parent], node.function);
        Accumulate(m_Nodes[mapped[i]], node.calls, node.totalTicks, node.ownTicks, node.flags);
    }
}

}  // namespace Controller
