// `qvprof diff A B`: the functions whose time changed most between two performance snapshots.
#pragma once

#include <string>

#include "Console.h"
#include "ExportOptions.h"
#include "SnapshotContents.h"

namespace Qvprof {

class DiffCommand {
public:
    // Prints the table to standard output; problems go to the console. Returns the exit code.
    static int Run(const DiffOptions& options, Console& console);
    // The table; raises std::runtime_error when either snapshot holds no readable profile.
    static std::string Diff(const SnapshotContents& before, const SnapshotContents& after,
                            const DiffOptions& options);
};

}  // namespace Qvprof
