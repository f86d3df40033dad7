// The performance data of a snapshot: the timer frequency and every call tree the profiler wrote,
// each checked by CallTreeReader. A thread can have several trees: one per flush of finished or
// memory-heavy trees while measuring, and one at the save.
#pragma once

#include <cstddef>
#include <vector>

#include "Controller/CallTree.h"
#include "Controller/PerformanceHeaderSection.h"
#include "Controller/Snapshot.h"

namespace Controller {

struct PerformanceSnapshot {
    PerformanceHeader header;
    std::vector<CallTree> trees;  // in the order they were written
    // Call-tree sections of a tree the snapshot caught unfinished (only in an incomplete
    // snapshot); they are left out.
    size_t unfinishedSections = 0;
};

// Each tree is five consecutive sections in creation order: 0x1100, 0x1101, 0x1102, 0x1103,
// 0x1105. Raises std::runtime_error when the snapshot is of another kind, has no header, when a
// complete snapshot holds a broken group, or when a tree fails its checks; the text then starts
// with "Call tree N (snapshot sections A to B): " and names the section and byte.
PerformanceSnapshot ReadPerformanceSnapshot(const Snapshot& snapshot);

}  // namespace Controller
