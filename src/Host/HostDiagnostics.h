// How the host tells why the program runs without a profiler, since the runtime reports nothing
// but a status code. Never on the program's own streams unless asked: a line on standard error
// can fail a build whose tools treat any such line as an error.
//
// QUORVELAN_HOST_LOG names where the lines go: a file, appended to (qvprof record sets one and
// reports what it holds), or "stderr". Without it the lines are dropped.
#pragma once

#include <initializer_list>
#include <string>

#include "Platform/Types.h"

namespace HostDiagnostics {

constexpr const char* DestinationVariable = "QUORVELAN_HOST_LOG";

// Writes one line "Quorvelan host[<pid>]: " followed by the parts, in a single write so that lines
// of other threads and processes sharing the file do not cut into it. Allocates nothing, so it
// can report a failed allocation too; a line longer than 1023 bytes is cut.
void ReportFailure(std::initializer_list<const char*> parts) noexcept;

inline void ReportFailure(const std::string& text) noexcept {
    ReportFailure({text.c_str()});
}

// "0x80004005".
std::string FormatStatus(HRESULT status);

}  // namespace HostDiagnostics
