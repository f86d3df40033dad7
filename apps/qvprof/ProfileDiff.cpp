#include "ProfileDiff.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace Qvprof {

std::vector<FunctionChange> ProfileDiff::Compare(const Controller::Profile& before,
                                                 const Controller::Profile& after, bool byOwn) {
    std::map<std::string, FunctionChange> byName;
    for (const Controller::FunctionSummary& summary : before.AllThreads().functions) {
        FunctionChange& change = byName[before.FunctionName(summary.function)];
        change.ownBefore += before.Seconds(summary.ownTicks) * 1000.0;
        change.totalBefore += before.Seconds(summary.totalTicks) * 1000.0;
        change.callsBefore += summary.calls;
    }
    for (const Controller::FunctionSummary& summary : after.AllThreads().functions) {
        FunctionChange& change = byName[after.FunctionName(summary.function)];
        change.ownAfter += after.Seconds(summary.ownTicks) * 1000.0;
        change.totalAfter += after.Seconds(summary.totalTicks) * 1000.0;
        change.callsAfter += summary.calls;
    }
    std::vector<FunctionChange> changes;
    for (auto& [name, change] : byName) {
        change.name = name;
        changes.push_back(std::move(change));
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [byOwn](const FunctionChange& a, const FunctionChange& b) {
                         const double firstA = std::fabs(byOwn ? a.OwnChange() : a.TotalChange());
                         const double firstB = std::fabs(byOwn ? b.OwnChange() : b.TotalChange());
                         if (firstA != firstB) {
                             return firstA > firstB;
                         }
                         return std::fabs(byOwn ? a.TotalChange() : a.OwnChange()) >
                                std::fabs(byOwn ? b.TotalChange() : b.OwnChange());
                     });
    return changes;
}

}  // namespace Qvprof
