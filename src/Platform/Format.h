// Bounded printf-style formatting with the platform's conventions. Every standard conversion, flag,
// width, precision ('*' included) and length modifier (hh h l ll z j t L) behaves as the C
// library's, with two differences:
// - "%S" prints 16-bit text (const WCHAR*, zero-terminated; null prints "(null)") as UTF-8, each
//   16-bit unit encoded on its own (a surrogate pair becomes two three-byte sequences). A
//   precision limits the bytes written without splitting a unit's sequence.
// - "%p" prints the device's way: upper-case hexadecimal zero-padded to the pointer width (8 or 16
//   digits), no "0x"; a null pointer prints as zeros. A width pads with blanks, "-" aligns left.
// "%n", positional arguments ("%1$d") and non-standard conversions are refused as format errors.
// No heap allocation: the log formats on hot paths into a stack buffer.
#pragma once

#include <cstdarg>

#include "Platform/Types.h"

namespace Platform {

// Like vsnprintf: writes at most `capacity` bytes including the terminating zero and returns the
// length the full text needs (without the zero), or a negative value on a format error.
int FormatV(char* buffer, size_t capacity, const char* format, va_list args);
int Format(char* buffer, size_t capacity, const char* format, ...);

// Formats into 16-bit text (for texts the platform shows, such as the attach message).
// "%s" and "%S" both take const WCHAR* here; other conversions are the C library's.
// A precision or width on "%s"/"%S" counts 16-bit units; literal text is UTF-8. Returns false, with
// *out empty, when the text does not fit `capacity` units with its terminating zero or the format
// is refused.
bool FormatWideV(WString* out, size_t capacity, const char* format, va_list args);
bool FormatWide(WString* out, size_t capacity, const char* format, ...);

}  // namespace Platform
