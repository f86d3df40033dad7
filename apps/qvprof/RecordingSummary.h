// The short summary qvprof prints when a recording ends: how many processes connected, which were
// profiled, and the snapshot files written, one line per process.
#pragma once

#include <string>
#include <vector>

#include "ProcessRecord.h"
#include "ProfilerMode.h"

namespace Qvprof {

// Why a memory snapshot saved while incomplete holds what it holds: the memory kind drops the
// snapshot it keeps open between heap dumps when its process ends.
inline constexpr char DroppedMemorySnapshotNote[] =
    "the memory profiler dropped it before a heap dump closed it (its process ended, or it "
    "failed); the sections still being written are lost";

class RecordingSummary {
public:
    static std::string Format(const std::vector<ProcessRecord>& records, ProfilerMode mode);

    // "1.2 MB", "830 bytes".
    static std::string Size(uint64_t bytes);

private:
    static std::string Line(const ProcessRecord& record, ProfilerMode mode);
};

}  // namespace Qvprof
