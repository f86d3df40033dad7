#include "ProfilerLibraries.h"

#include <stdexcept>
#include <string>

namespace Qvprof {

std::vector<std::filesystem::path> ProfilerLibraries::Candidates(
    const std::filesystem::path& executableDirectory) {
    const std::filesystem::path& bin = executableDirectory;
    return {bin, bin / ".." / "lib" / "quorvelan", bin / ".." / "lib", bin / ".." / ".." / "src"};
}

ProfilerLibraries ProfilerLibraries::Find(const std::filesystem::path& executableDirectory) {
    std::string searched;
    for (const std::filesystem::path& candidate : Candidates(executableDirectory)) {
        std::error_code error;
        const std::filesystem::path directory = std::filesystem::weakly_canonical(candidate, error);
        if (error) {
            continue;
        }
        ProfilerLibraries libraries{directory / HostFileName, directory / ProfilerFileName};
        if (std::filesystem::is_regular_file(libraries.host, error) &&
            std::filesystem::is_regular_file(libraries.profiler, error)) {
            return libraries;
        }
        searched += "\n  " + directory.string();
    }
    throw std::runtime_error(std::string("Can't find ") + HostFileName + " and " +
                             ProfilerFileName +
                             " beside qvprof; install them with it. Searched:" + searched);
}

}  // namespace Qvprof
