// Per-function figures of a profile tree: how often a function was called, the time spent in it
// and in what it called (a recursive function's time counted once, at its outermost calls), its
// own time, and who called it and whom it called.
#pragma once

#include <cstdint>
#include <vector>

#include "Controller/ProfileTree.h"

namespace Controller {

struct FunctionEdge {
    // The function at the other end; ProfileNode::NoFunction for a caller that is the thread
    // itself (a function at the top of the stack).
    uint32_t function = ProfileNode::NoFunction;
    uint64_t calls = 0;
    // Time in the callee on this edge; calls made below another call of the callee add none.
    uint64_t totalTicks = 0;
};

struct FunctionSummary {
    uint32_t function = 0;
    uint64_t calls = 0;
    uint64_t totalTicks = 0;  // recursion counted once
    uint64_t ownTicks = 0;
    uint64_t nodes = 0;                 // the tree nodes of the function
    bool recursive = false;             // called, directly or not, from inside itself
    uint8_t flags = 0;                  // the nodes' CallTreeNode flags, or-ed
    std::vector<FunctionEdge> callers;  // by total time, largest first
    std::vector<FunctionEdge> callees;  // by total time, largest first
};

// One summary per function of the tree, by total time, largest first (then by function number).
std::vector<FunctionSummary> SummarizeFunctions(const ProfileTree& tree);

}  // namespace Controller
