// Text received from the profiler. On the wire each 16-bit unit travels as its own UTF-8 sequence,
// so a character outside the 16-bit range arrives as two three-byte sequences; users get standard
// UTF-8. Lengths on the wire are never trusted: every read names its limit.
#pragma once

#include <cstddef>
#include <string>

#include "Bridge/IReadBridgeStream.h"

namespace Controller {

// Reads a string (counter length, bytes); a length above `maxLength` is refused before any
// allocation with "<what> is <n> bytes long, more than the <maxLength> allowed".
std::string ReadBoundedString(IReadBridgeStream& stream, size_t maxLength, const char* what);

// The text as standard UTF-8: surrogate pairs joined into one character; a lone surrogate, and
// every byte that does not start a well-formed sequence, become U+FFFD.
std::string DecodeWireText(const std::string& wire);

}  // namespace Controller
