// What every export of a performance profile needs: the call path of a tree node, times in
// nanoseconds and microseconds, and the name a thread goes by.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller/Profile.h"

namespace Qvprof {

class ProfileStacks {
public:
    // The functions from the thread's first call down to the node (the root not included).
    static std::vector<uint32_t> Path(const Controller::ProfileTree& tree, uint32_t node);
    // The node's children, largest total time first (first added first among equals).
    static std::vector<uint32_t> ChildrenByTotal(const Controller::ProfileTree& tree,
                                                 uint32_t node);
    static uint64_t Nanoseconds(const Controller::Profile& profile, uint64_t ticks);
    static double Microseconds(const Controller::Profile& profile, uint64_t ticks);
    // "thread 3 \"worker\"", or "thread 3" for an unnamed one.
    static std::string ThreadLabel(const Controller::ThreadProfile& thread);
};

}  // namespace Qvprof
