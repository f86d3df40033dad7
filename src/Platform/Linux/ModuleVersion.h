// The version of a loaded module, read from its resolved file path. Private to the Linux
// implementation (and its tests).
#pragma once

#include <string_view>

#include "Platform/Process.h"

namespace Platform::Native {

// From the trailing ".so.A[.B[.C[.D]]]" of the file name ("libstdc++.so.6.0.30": 6.0.30.0), else
// from a versioned parent folder ("/dotnet/shared/Microsoft.NETCore.App/8.0.11/libcoreclr.so":
// 8.0.11.0; a suffix such as "-rc.2" is ignored). False when neither carries a version.
bool ParseModuleVersion(std::string_view resolvedPath, FileVersion* version);

}  // namespace Platform::Native
