// The environment the profiled program starts with: the inherited one, plus every variable that
// makes the runtime load our host agent with the chosen profiler kind and tells the profiler
// where qvprof listens. Child processes of the program inherit it, so each of them connects too.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ProfilerLibraries.h"

namespace Qvprof {

class LaunchEnvironment {
public:
    using Variable = std::pair<std::string, std::string>;

    // `registryPath` or `hostLogPath` may be empty: the variable is then not set by qvprof.
    LaunchEnvironment(const ProfilerLibraries& libraries, const std::string& classId,
                      const std::string& bridgeAddress, const std::string& hostLogPath,
                      const std::string& registryPath);

    // The variables qvprof sets, in the order users would write them.
    const std::vector<Variable>& Variables() const { return m_Variables; }

    // `inherited` ("NAME=value" entries) with qvprof's variables set, and those removed that
    // would keep the runtime from loading our profiler. A registry file the user set is kept.
    // Each removal is described in `notes` when given.
    std::vector<std::string> Compose(const std::vector<std::string>& inherited,
                                     std::vector<std::string>* pNotes = nullptr) const;

    // The entries of this process's own environment.
    static std::vector<std::string> Inherited();

private:
    std::vector<Variable> m_Variables;
};

}  // namespace Qvprof
