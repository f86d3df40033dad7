// Compresses bytes into the gzip format (zlib's deflate with a gzip header and trailer).
#pragma once

#include <string>
#include <string_view>

namespace Qvprof {

class Gzip {
public:
    // Raises std::runtime_error when zlib fails (out of memory).
    static std::string Compress(std::string_view bytes);
};

}  // namespace Qvprof
