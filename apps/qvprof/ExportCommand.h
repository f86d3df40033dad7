// `qvprof export FILE --format F [-o OUT]`: a performance snapshot in a format other tools open.
#pragma once

#include <string>
#include <vector>

#include "Console.h"
#include "ExportOptions.h"
#include "SnapshotContents.h"

namespace Qvprof {

class ExportCommand {
public:
    struct Format {
        const char* name;
        const char* extension;  // of the file written beside the snapshot
        const char* description;
    };
    static const std::vector<Format>& Formats();
    static std::vector<std::string> FormatNames();

    // Writes the export; problems go to the console. Returns the exit code.
    static int Run(const ExportOptions& options, Console& console);
    // The bytes of the export. Raises std::runtime_error when the snapshot holds no performance
    // profile that can be read, or the format is unknown.
    static std::string Export(const SnapshotContents& contents, const std::string& format);
    // Where the export of `file` goes when no -o is given: beside it, its ending replaced.
    static std::string DefaultOutput(const std::string& file, const std::string& format);
    // The snapshot's profile; raises std::runtime_error naming the file when it has none.
    static const Controller::Profile& ProfileOf(const SnapshotContents& contents);
};

}  // namespace Qvprof
