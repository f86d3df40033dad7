// The profile format of pprof: a gzipped protocol buffers Profile message. One function and one
// location per profiled function; one sample per call path of each thread, its locations from the
// innermost call out, with two values: the calls of that path ("calls", count) and its own time
// ("time", nanoseconds, the default), and the label "thread" naming the thread. pprof adds the
// values up its stacks, so a function's cumulative time is its total time.
#pragma once

#include <string>

#include "Controller/HeapModel.h"
#include "Controller/Profile.h"

namespace Qvprof {

class PprofExport {
public:
    // The Profile message, not compressed.
    static std::string Encode(const Controller::Profile& profile);
    // The gzipped file.
    static std::string Write(const Controller::Profile& profile);

    // A memory snapshot: three values per sample, "objects" (count), "space" (bytes, the default)
    // and "sampled_allocations" (count). Each heap dump's live objects by class, the class as the
    // sample's only frame and the label "dump" numbering the dump; and each sampled allocation
    // stack with its count, labelled "kind" = "allocation".
    static std::string EncodeHeap(const Controller::HeapModel& heap);
    static std::string WriteHeap(const Controller::HeapModel& heap);
};

}  // namespace Qvprof
