// The profile format of pprof: a gzipped protocol buffers Profile message. One function and one
// location per profiled function; one sample per call path of each thread, its locations from the
// innermost call out, with two values: the calls of that path ("calls", count) and its own time
// ("time", nanoseconds, the default), and the label "thread" naming the thread. pprof adds the
// values up its stacks, so a function's cumulative time is its total time.
#pragma once

#include <string>

#include "Controller/Profile.h"

namespace Qvprof {

class PprofExport {
public:
    // The Profile message, not compressed.
    static std::string Encode(const Controller::Profile& profile);
    // The gzipped file.
    static std::string Write(const Controller::Profile& profile);
};

}  // namespace Qvprof
