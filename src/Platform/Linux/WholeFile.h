// Reads a whole file (including /proc files, whose size the kernel does not report).
#pragma once

#include <string>

namespace Platform {

// False when the file cannot be opened; a read error ends the content where it happened.
bool ReadWholeFile(const char* path, std::string* content);

}  // namespace Platform
