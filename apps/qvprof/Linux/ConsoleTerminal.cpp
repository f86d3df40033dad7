#include <unistd.h>

#include "../Console.h"

namespace Qvprof {

bool Console::IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

}  // namespace Qvprof
