// What `qvprof report` shows.
#pragma once

#include <string>
#include <vector>

namespace Qvprof {

struct ReportOptions {
    std::vector<std::string> files;
    // The views to show by name; empty: every view that applies to the snapshot.
    std::vector<std::string> views;
    // Rows of long lists (classes, functions); 0 for all.
    size_t limit = 25;
};

}  // namespace Qvprof
