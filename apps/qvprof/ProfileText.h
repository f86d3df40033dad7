// Figures of the performance views in words: times in milliseconds, shares of a whole in percent,
// and the threads a view covers (all threads merged, or each one).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller/Profile.h"
#include "ReportOptions.h"

namespace Qvprof {

class ProfileText {
public:
    // "12.345"; the profile's ticks in milliseconds.
    static std::string Milliseconds(const Controller::Profile& profile, uint64_t ticks);
    // "42.0%", or "-" when the whole is 0.
    static std::string Percent(uint64_t part, uint64_t whole);
    // The thread's time: its root's total, or its calls' totals when the root holds none.
    static uint64_t ThreadTicks(const Controller::ThreadProfile& thread);
    // "all threads (3 threads, 5 call trees)", "thread 2 "worker" (1 call tree)".
    static std::string Title(const Controller::Profile& profile,
                             const Controller::ThreadProfile& thread, bool merged);
    // The threads the options ask for, each with whether it is the merged view.
    static std::vector<std::pair<const Controller::ThreadProfile*, bool>> Threads(
        const Controller::Profile& profile, const ReportOptions& options);
};

}  // namespace Qvprof
