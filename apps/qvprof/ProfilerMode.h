// The profiler kinds qvprof can load into a program, by the names users give them on the command
// line, and the class ids that make the runtime's loader pick each kind.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Qvprof {

enum class ProfilerMode {
    Tracing,   // every call, exact call counts and times
    Sampling,  // stacks sampled at intervals
    Memory,    // heap dumps and sampled allocations
    Test,      // a kind that only logs the runtime's callbacks and builds no snapshot
};

class ProfilerModes {
public:
    static std::string Name(ProfilerMode mode);
    static std::optional<ProfilerMode> Parse(const std::string& name);
    static std::vector<std::string> Names();
    // The value of CORECLR_PROFILER for the kind.
    static std::string ClassId(ProfilerMode mode);
    static bool IsPerformance(ProfilerMode mode) {
        return mode == ProfilerMode::Tracing || mode == ProfilerMode::Sampling;
    }
};

}  // namespace Qvprof
