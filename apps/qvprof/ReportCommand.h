// `qvprof report FILE...`: what each snapshot file holds, in the views that apply to it.
#pragma once

#include <string>

#include "Console.h"
#include "ReportOptions.h"

namespace Qvprof {

class ReportCommand {
public:
    // Prints to standard output; problems go to the console. Returns the exit code: failure when
    // any file could not be read.
    static int Run(const ReportOptions& options, Console& console);
    // The report of one file; raises std::runtime_error when the file cannot be read.
    static std::string Report(const std::string& file, const ReportOptions& options);
};

}  // namespace Qvprof
