// Bounded printf-style formatting with the platform's conventions: "%S" prints 16-bit text
// (const WCHAR*, converted to UTF-8), every other conversion is the C library's.
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
// Returns false when the text does not fit `capacity` units with its terminating zero.
bool FormatWideV(WString* out, size_t capacity, const char* format, va_list args);
bool FormatWide(WString* out, size_t capacity, const char* format, ...);

}  // namespace Platform
