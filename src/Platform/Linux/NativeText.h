// Conversions between platform text (16-bit units) and the native UTF-8 text of the kernel and the
// C library. Private to the Linux implementation of the platform layer.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Types.h"

namespace Platform::Native {

// UTF-16 to UTF-8. Surrogate pairs become one four-byte sequence, so that file names reach the
// kernel as real UTF-8; a lone surrogate is kept as its three-byte form.
std::string ToUtf8(const WCHAR* text, size_t length);
inline std::string ToUtf8(const WString& text) {
    return ToUtf8(text.data(), text.size());
}

// UTF-8 to UTF-16. Characters above U+FFFF become surrogate pairs; a malformed sequence becomes one
// U+FFFD per maximal well-formed prefix (a stray byte, or a lead with the continuations it has).
WString FromUtf8(std::string_view text);

// Length of a zero-terminated 16-bit text.
size_t WideLength(const WCHAR* text);

}  // namespace Platform::Native
