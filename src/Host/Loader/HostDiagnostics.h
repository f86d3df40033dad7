// How the host tells the user why the program runs without a profiler: one line on standard
// error, since the runtime reports nothing but a status code.
#pragma once

#include <initializer_list>
#include <string>

#include "Platform/Types.h"

namespace HostDiagnostics {

// Writes "Quorvelan host: ", the parts one after another, and a line break to standard error.
// Allocates nothing, so it can report a failed allocation too.
void ReportFailure(std::initializer_list<const char*> parts) noexcept;

inline void ReportFailure(const std::string& text) noexcept {
    ReportFailure({text.c_str()});
}

// "0x80004005".
std::string FormatStatus(HRESULT status);

}  // namespace HostDiagnostics
