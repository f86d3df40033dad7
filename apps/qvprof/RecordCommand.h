// `qvprof record [options] -- <command...>`: starts the command under the profiler, records every
// process of it that connects, and exits with the command's own exit code.
#pragma once

#include <filesystem>

#include "Console.h"
#include "ProfilingOptions.h"

namespace Qvprof {

class RecordCommand {
public:
    // `executableDirectory` is where qvprof itself lies; the profiler libraries are found from
    // there.
    static int Run(const ProfilingOptions& options, Console& console,
                   const std::filesystem::path& executableDirectory);
};

}  // namespace Qvprof
