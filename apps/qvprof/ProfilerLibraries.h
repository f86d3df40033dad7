// Finds the host agent (libqvhost.so) and the profiler library (libqvprofiler.so) that belong to
// this qvprof, from where the qvprof executable itself lies: beside it, in ../lib/quorvelan or
// ../lib of an installation, or in ../../src of the build tree.
#pragma once

#include <filesystem>
#include <vector>

namespace Qvprof {

struct ProfilerLibraries {
    static constexpr const char* HostFileName = "libqvhost.so";
    static constexpr const char* ProfilerFileName = "libqvprofiler.so";

    std::filesystem::path host;
    std::filesystem::path profiler;

    // The directories searched, in order, for an executable in `executableDirectory`.
    static std::vector<std::filesystem::path> Candidates(
        const std::filesystem::path& executableDirectory);
    // The first candidate directory that holds both libraries. Raises std::runtime_error naming
    // every directory searched when none does.
    static ProfilerLibraries Find(const std::filesystem::path& executableDirectory);
};

}  // namespace Qvprof
