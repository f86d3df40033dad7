#include "Gzip.h"

#include <zlib.h>

#include <stdexcept>

namespace Qvprof {

std::string Gzip::Compress(std::string_view bytes) {
    z_stream stream{};
    // 15 window bits, +16 for the gzip wrapper.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("Cannot start gzip compression");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("gzip compression failed (zlib error " + std::to_string(result) +
                                 ")");
    }
    return out;
}

}  // namespace Qvprof
