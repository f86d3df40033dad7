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
    // Call trees: levels below the thread shown, and the share of the thread's time under which
    // a call is left out (percent).
    size_t depth = 12;
    double threshold = 1.0;
    // Performance views per thread instead of over all threads merged.
    bool perThread = false;
};

}  // namespace Qvprof
