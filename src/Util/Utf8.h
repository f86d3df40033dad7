// Conversion between the platform's 16-bit text and the 8-bit UTF-8 text that goes to the
// controller and the log, and a halving search over sorted arrays.
//
// Each 16-bit unit is converted on its own: a surrogate pair becomes two three-byte sequences, and
// the decoder reverses exactly that, so text survives the round trip unit for unit.
#pragma once

#include <cstddef>
#include <string>

#include "Platform/Types.h"

// Zero-terminated wide text to UTF-8. A null pointer gives an empty string.
std::string ToUtf8(const WCHAR* text);
// The whole string, embedded zero units included.
std::string ToUtf8(const WString& text);

// Zero-terminated UTF-8 text to wide text. Bytes 0xF0 and above are outside the supported range
// (debug assertion; release builds treat them as three-byte leads). A continuation byte with no
// unit before it to extend is skipped (after a debug assertion), so a truncated sequence at the
// start of the text loses only that byte. A null pointer gives an empty string.
WString FromUtf8(const char* text);
// The whole string, embedded zero bytes included.
WString FromUtf8(const std::string& text);

// Text received from outside (the controller): decoded as FromUtf8 decodes it in release builds,
// in every build. Any bytes decode to some text, so nothing a peer sends can stop the process.
WString FromOutsideUtf8(const std::string& text);

// Number of bytes ToUtf8 produces for `count` units.
size_t Utf8Length(const WCHAR* text, size_t count);

// Writes the UTF-8 form of one unit at `out` (room for 3 bytes needed); returns the byte count.
inline size_t EncodeUtf8Unit(WCHAR unit, char* out) {
    if (unit < 0x80) {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    if (unit < 0x800) {
        out[0] = static_cast<char>(0xC0 | (unit >> 6));
        out[1] = static_cast<char>(0x80 | (unit & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (unit >> 12));
    out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (unit & 0x3F));
    return 3;
}

// The standard library's bsearch contract: `compare` gets the key and an element and returns
// negative, zero or positive; the result is an element that compares equal, or null (also for an
// empty array).
void* SortedSearch(const void* key, const void* base, size_t num, size_t width,
                   int (*compare)(const void* key, const void* element));
