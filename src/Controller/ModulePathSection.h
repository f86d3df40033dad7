// Reads the module path section: for each metadata index, the file paths its modules were loaded
// from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller/SnapshotSection.h"

namespace Controller {

struct ModulePaths {
    uint32_t index = 0;
    std::vector<std::string> paths;  // UTF-8, in the order the section lists them
};

// Entries in section order. Raises std::runtime_error when the section is cut short, has an index
// width other than 1 to 4, or carries bytes after its last entry.
std::vector<ModulePaths> ReadModulePathSection(const SnapshotSection& section);

}  // namespace Controller
