// One thread's call tree as a performance snapshot carries it: the thread's identity and every
// node with its function (metadata index and token), call count, total and own time in timer
// ticks, and flags. CallTreeReader builds it from the five call-tree sections after checking them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Controller {

struct CallTreeNode {
    static constexpr uint32_t NoParent = 0xFFFFFFFF;
    // The root stands for the thread itself: metadata index 0, this token.
    static constexpr uint32_t RootToken = 0xFFFFFFFF;
    // Flags.
    static constexpr uint8_t MeasuredPartly = 0x01;  // open when measuring was switched
    static constexpr uint8_t Special = 0x02;         // a runtime suspension
    static constexpr uint8_t Recursive = 0x80;       // a node of the same function lies below
    static constexpr uint8_t KnownFlags = MeasuredPartly | Special | Recursive;

    uint32_t metadataIndex = 0;
    uint32_t token = RootToken;
    uint64_t offset = 0;  // the record's byte offset in the tree section
    uint32_t parent = NoParent;
    uint32_t firstChild = 0;  // into CallTree::ChildIndexes
    uint32_t childCount = 0;
    uint64_t totalTime = 0;  // ticks, the node and everything it called
    uint64_t ownTime = 0;    // ticks, the total less the children's totals
    uint32_t calls = 0;
    uint8_t flags = 0;
};

struct CallTreeThread {
    uint32_t recordNumber = 0;     // the profiler's number for the thread record
    uint32_t activationCount = 0;  // how often the record was given to a starting thread
    std::string name;              // UTF-8; empty for an unnamed thread
};

class CallTree {
public:
    // `nodes` in record order, children before their parents and the root last; `childIndexes`
    // holds each node's children, in the order the record lists them, at its firstChild.
    CallTree(CallTreeThread thread, std::vector<CallTreeNode> nodes,
             std::vector<uint32_t> childIndexes);

    const CallTreeThread& Thread() const { return m_Thread; }
    const std::vector<CallTreeNode>& Nodes() const { return m_Nodes; }
    uint32_t RootIndex() const { return static_cast<uint32_t>(m_Nodes.size() - 1); }
    const CallTreeNode& Root() const { return m_Nodes.back(); }
    std::span<const uint32_t> Children(const CallTreeNode& node) const;

private:
    CallTreeThread m_Thread;
    std::vector<CallTreeNode> m_Nodes;
    std::vector<uint32_t> m_ChildIndexes;
};

}  // namespace Controller
