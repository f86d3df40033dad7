// What a performance snapshot says, ready for reports: per thread and over all threads, the call
// tree merged by function path and the per-function figures, with function names taken from the
// snapshot's own metadata and times turned into seconds by the snapshot's timer frequency.
//
// Function names are those of MetaDataNameResolver ("Namespace.Type::Method" or its fallback
// texts); the pseudo-functions of metadata index 0 read:
//
//   0xFF000000  "[no function]"                  a sampled frame without a managed function
//   0xFF000001  "[runtime suspension]"
//   0xFF000002  "[garbage collection]"           the runtime suspended for a collection
//   0xFF000003  "[application domain shutdown]"
//   0xFF000004  "[code pitching]"
//   0xFF000005  "[unwalkable stack]"             a sample whose stack could not be walked
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "Controller/CallTree.h"
#include "Controller/FunctionSummary.h"
#include "Controller/MetaDataNameResolver.h"
#include "Controller/PerformanceSnapshot.h"
#include "Controller/ProfileTree.h"
#include "Controller/Snapshot.h"

namespace Controller {

struct ProfileFunction {
    uint32_t metadataIndex = 0;
    uint32_t token = 0;
    std::string name;
};

struct ThreadProfile {
    // For the view over all threads: record number 0, activation count 0, name empty.
    CallTreeThread thread;
    size_t treeCount = 0;  // call trees merged in (a thread's flushes, or every thread's trees)
    ProfileTree tree;
    std::vector<FunctionSummary> functions;
};

class Profile {
public:
    static constexpr const char* ThreadName = "[thread]";  // the root's name

    // Reads the performance data of the snapshot (ReadPerformanceSnapshot) and the names from
    // its metadata section, when it has one. Raises as those readers do.
    static Profile Read(const Snapshot& snapshot);
    static Profile Build(const PerformanceSnapshot& snapshot, const MetaDataNameResolver& names);

    uint64_t Frequency() const { return m_Frequency; }
    double Seconds(uint64_t ticks) const { return static_cast<double>(ticks) / m_Frequency; }

    // Numbered in the order first met; ProfileNode::function and FunctionSummary::function
    // index it.
    const std::vector<ProfileFunction>& Functions() const { return m_Functions; }
    // ThreadName for ProfileNode::NoFunction.
    const std::string& FunctionName(uint32_t function) const;

    // One per thread record, by record number; a record written several times (flushes) is one.
    const std::vector<ThreadProfile>& Threads() const { return m_Threads; }
    const ThreadProfile& AllThreads() const { return m_AllThreads; }

private:
    uint32_t FunctionOf(const CallTreeNode& node, const MetaDataNameResolver& names);
    static std::string PseudoFunctionName(uint32_t token);

    uint64_t m_Frequency = 1;
    std::vector<ProfileFunction> m_Functions;
    std::unordered_map<uint64_t, uint32_t> m_FunctionByKey;
    std::vector<ThreadProfile> m_Threads;
    ThreadProfile m_AllThreads;
    std::string m_ThreadName = ThreadName;
};

}  // namespace Controller
