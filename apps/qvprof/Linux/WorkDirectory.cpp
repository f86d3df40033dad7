// The scratch folder's creation: a unique folder under $TMPDIR (or /tmp), private to the user.
#include "../WorkDirectory.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace Qvprof {

WorkDirectory::WorkDirectory() {
    const char* pBase = std::getenv("TMPDIR");
    std::string pattern =
        std::string(pBase != nullptr && *pBase != 0 ? pBase : "/tmp") + "/qvprof-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("Can't create a scratch folder " + pattern + ": " +
                                 std::strerror(errno) + " (set TMPDIR to a writable folder)");
    }
    m_Path = pattern;
}

}  // namespace Qvprof
