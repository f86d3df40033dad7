#include "Controller/CallTree.h"

#include <stdexcept>

namespace Controller {

CallTree::CallTree(CallTreeThread thread, std::vector<CallTreeNode> nodes,
                   std::vector<uint32_t> childIndexes)
    : m_Thread(std::move(thread)),
      m_Nodes(std::move(nodes)),
      m_ChildIndexes(std::move(childIndexes)) {
    if (m_Nodes.empty()) {
        throw std::logic_error("A call tree has at least its root");
    }
}

std::span<const uint32_t> CallTree::Children(const CallTreeNode& node) const {
    return std::span<const uint32_t>(m_ChildIndexes).subspan(node.firstChild, node.childCount);
}

}  // namespace Controller
