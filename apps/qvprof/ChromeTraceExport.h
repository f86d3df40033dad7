// The trace event format of Chrome's tracing tools (chrome://tracing, Perfetto): each thread's
// merged call tree laid out on a time line, every call path a complete event ("ph": "X") as long
// as its total time, its children one after the other from its start, largest first. The times
// are the measured sums, not when the calls happened. Thread names come as metadata events.
#pragma once

#include <string>

#include "Controller/Profile.h"

namespace Qvprof {

class ChromeTraceExport {
public:
    // `processId` is the pid of every event.
    static std::string Write(const Controller::Profile& profile, uint32_t processId);
};

}  // namespace Qvprof
