// Two performance profiles compared function by function (all threads merged, functions matched
// by name, so that two runs of a program compare although their metadata indexes differ): own
// time, total time and calls before and after, ordered by how much the chosen time changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller/Profile.h"

namespace Qvprof {

struct FunctionChange {
    std::string name;
    double ownBefore = 0, ownAfter = 0;      // milliseconds
    double totalBefore = 0, totalAfter = 0;  // milliseconds
    uint64_t callsBefore = 0, callsAfter = 0;

    double OwnChange() const { return ownAfter - ownBefore; }
    double TotalChange() const { return totalAfter - totalBefore; }
};

class ProfileDiff {
public:
    // Largest change (up or down) of own time (`byOwn`) or total time first; then by the other
    // time's change, then by name.
    static std::vector<FunctionChange> Compare(const Controller::Profile& before,
                                               const Controller::Profile& after, bool byOwn);
};

}  // namespace Qvprof
