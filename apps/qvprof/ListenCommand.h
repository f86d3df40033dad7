// `qvprof listen --port P`: the same recording for processes started elsewhere (another terminal,
// a container, a device that reaches this port). qvprof prints the variables those processes
// need and records every one that connects, until Ctrl-C, --duration, or with --first-only the
// end of the first profiled process.
#pragma once

#include <filesystem>

#include "Console.h"
#include "ProfilingOptions.h"

namespace Qvprof {

class ListenCommand {
public:
    static int Run(const ProfilingOptions& options, Console& console,
                   const std::filesystem::path& executableDirectory);
};

}  // namespace Qvprof
