#include "Host/Loader/HostDiagnostics.h"

#include <cstdio>

namespace HostDiagnostics {

void ReportFailure(std::initializer_list<const char*> parts) noexcept {
    // One locked stream for the whole line, so lines of other threads do not cut into it.
    flockfile(stderr);
    std::fputs("Quorvelan host: ", stderr);
    for (const char* pPart : parts) {
        std::fputs(pPart, stderr);
    }
    std::fputs("\n", stderr);
    std::fflush(stderr);
    funlockfile(stderr);
}

std::string FormatStatus(HRESULT status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace HostDiagnostics
