#include "Host/HostDiagnostics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace HostDiagnostics {

namespace {

constexpr size_t LineCapacity = 1024;

// Appends `text` to the line, cutting it where the line is full (one byte kept for the break).
void Append(char (&line)[LineCapacity], size_t* pLength, const char* text) {
    const size_t room = LineCapacity - 1 - *pLength;
    const size_t count = std::min(std::strlen(text), room);
    std::memcpy(line + *pLength, text, count);
    *pLength += count;
}

}  // namespace

void ReportFailure(std::initializer_list<const char*> parts) noexcept {
    const char* pDestination = std::getenv(DestinationVariable);
    if (pDestination == nullptr || *pDestination == 0) {
        return;
    }
    char line[LineCapacity];
    int length = std::snprintf(line, sizeof(line), "Quorvelan host[%d]: ",
                               static_cast<int>(getpid()));
    size_t used = length > 0 ? static_cast<size_t>(length) : 0;
    for (const char* pPart : parts) {
        Append(line, &used, pPart != nullptr ? pPart : "(null)");
    }
    line[used++] = '\n';

    const bool toStandardError = std::strcmp(pDestination, "stderr") == 0;
    const int fd = toStandardError
                       ? STDERR_FILENO
                       : open(pDestination, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    // A short or failed write loses the line; there is nowhere else to say so.
    [[maybe_unused]] const ssize_t written = write(fd, line, used);
    if (!toStandardError) {
        close(fd);
    }
}

std::string FormatStatus(HRESULT status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace HostDiagnostics
