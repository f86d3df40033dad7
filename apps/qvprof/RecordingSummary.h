// The short summary qvprof prints when a recording ends: how many processes connected, which were
// profiled, and the snapshot files written, one line per process.
#pragma once

#include <string>
#include <vector>

#include "ProcessRecord.h"
#include "ProfilerMode.h"

namespace Qvprof {

class RecordingSummary {
public:
    static std::string Format(const std::vector<ProcessRecord>& records, ProfilerMode mode);

    // "1.2 MB", "830 bytes".
    static std::string Size(uint64_t bytes);

private:
    static std::string Line(const ProcessRecord& record, ProfilerMode mode);
};

}  // namespace Qvprof
