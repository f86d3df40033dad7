// A call tree merged by function path: call trees added to it (several trees of one thread, or
// every thread's) meet in one node wherever the chain of functions from the root is the same.
// Functions are numbers the caller gives out (Profile numbers them by metadata index and token).
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "Controller/CallTree.h"

namespace Controller {

struct ProfileNode {
    static constexpr uint32_t NoFunction = 0xFFFFFFFF;  // the root: the thread itself
    static constexpr uint32_t NoParent = 0xFFFFFFFF;

    uint32_t function = NoFunction;
    uint32_t parent = NoParent;
    std::vector<uint32_t> children;  // in the order they were first added
    uint64_t calls = 0;
    uint64_t totalTicks = 0;
    uint64_t ownTicks = 0;
    uint8_t flags = 0;  // the CallTreeNode flags of every node merged here, or-ed
};

class ProfileTree {
public:
    // Only the root.
    ProfileTree();

    // Adds every node of the tree to the node of its function path; `functionOf` numbers the
    // call tree's non-root nodes.
    void Add(const CallTree& tree, const std::function<uint32_t(const CallTreeNode&)>& functionOf);
    // Adds another profile tree that numbers functions the same way.
    void Add(const ProfileTree& other);

    // The root first; every node after its parent.
    const std::vector<ProfileNode>& Nodes() const { return m_Nodes; }
    const ProfileNode& Root() const { return m_Nodes.front(); }

private:
    // The parent's child for the function, made when missing.
    uint32_t Child(uint32_t parent, uint32_t function);
    void Accumulate(ProfileNode& into, uint64_t calls, uint64_t total, uint64_t own, uint8_t flags);

    std::vector<ProfileNode> m_Nodes;
    std::unordered_map<uint64_t, uint32_t> m_ChildByFunction;  // parent << 32 | function
};

}  // namespace Controller
