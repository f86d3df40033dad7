// One printf conversion field ("%-08.3lu"), parsed from a format text. Shared by the narrow and the
// wide formatter. Private to the Linux implementation of the platform layer.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace Platform::Native {

struct ConversionField {
    char flags[8] = {};   // the distinct flags among "-+ #0'", in the order met
    int width = -1;       // -1: none
    int precision = -1;   // -1: none
    char length[3] = {};  // "", "hh", "h", "l", "ll", "z", "j", "t" or "L"
    char letter = 0;      // the conversion itself: d, s, p, S, ...
    bool leftAlign = false;
};

// Parses the field that follows a '%' at *pFormat and leaves *pFormat after it. Widths and
// precisions given as '*' are taken from *pArgs. Returns false for a malformed field and
// for the refused ones (%n, positional arguments, non-standard conversions other than %S).
bool ParseConversionField(const char** pFormat, va_list* pArgs, ConversionField* field);

// Formats one conversion other than %S (and other than %s/%S in wide formatting, which the caller
// handles) with the C library, pulling its argument from *pArgs. Same contract as snprintf:
// writes at most `room` bytes including a terminating zero and returns the full length, or a
// negative value on failure. %p prints the platform's way: upper-case hexadecimal, zero-padded to
// the pointer width, no prefix.
int FormatConversion(char* destination, size_t room, const ConversionField& field, va_list* pArgs);

}  // namespace Platform::Native
