// What `qvprof export` and `qvprof diff` do.
#pragma once

#include <cstddef>
#include <string>

namespace Qvprof {

struct ExportOptions {
    std::string file;
    // speedscope, pprof, collapsed, chrome or html (ExportFormats::Names).
    std::string format;
    // Where the export goes; empty: beside the snapshot, its name with the format's ending;
    // "-": standard output.
    std::string output;
};

struct DiffOptions {
    std::string before;
    std::string after;
    // Order by the change of "own" or of "total" time.
    std::string by = "own";
    // Rows shown; 0 for all.
    size_t limit = 25;
};

}  // namespace Qvprof
