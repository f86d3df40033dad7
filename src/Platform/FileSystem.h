// Files and directories. Paths are 16-bit text; the platform's separator is "/", and "\" is
// accepted as a separator in every path handed to these functions.
#pragma once

#include <cstdio>

#include "Platform/Types.h"

namespace Platform {

// The native (UTF-8, "/"-separated) form of a platform path.
std::string ToNativePath(const WString& path);

// The system's temporary directory ($TMPDIR, else /tmp).
WString GetSystemTempDirectory();

enum class FindResult {
    NotFound,
    File,
    Directory,
};
// Looks a path up like the OS file search: what exists there, if anything.
FindResult FindPath(const WString& path);

bool CreateDirectory(const WString& path);  // false if it exists or cannot be created
bool RemoveDirectory(const WString& path);
bool DeleteFile(const WString& path);

// Creates a new empty file with create-new semantics (fails if the path exists) and closes it.
bool CreateNewFile(const WString& path);

// Opens a buffered standard file stream; mode as for fopen ("rb", "r+b", "w+b", "wt", ...).
FILE* OpenFile(const WString& path, const char* mode);

// Free bytes available to the caller on the volume holding the path.
bool GetFreeDiskSpace(const WString& path, uint64_t* freeBytes);

}  // namespace Platform
