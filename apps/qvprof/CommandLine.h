// qvprof's command line: the commands (record, listen, report, export, diff), their options and the
// help texts with examples. Parse fills the options of the chosen command.
#pragma once

#include <string>
#include <vector>

#include "ExportOptions.h"
#include "ProfilingOptions.h"
#include "ReportOptions.h"

namespace Qvprof {

class CommandLine {
public:
    enum class Command { None, Record, Listen, Report, Export, Diff };

    struct Parsed {
        Command command = Command::None;
        ProfilingOptions profiling;  // record, listen
        ReportOptions report;
        ExportOptions exporting;
        DiffOptions diff;
        // Set when qvprof should exit at once (help shown, or a wrong command line) with it.
        bool exit = false;
        int exitCode = 0;
    };

    // Prints help and errors itself (help to standard output, errors to standard error).
    static Parsed Parse(int argc, char** argv);
};

}  // namespace Qvprof
