#include "Platform/Linux/WholeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Platform {

bool ReadWholeFile(const char* path, std::string* content) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    content->clear();
    char chunk[8192];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        content->append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

}  // namespace Platform
