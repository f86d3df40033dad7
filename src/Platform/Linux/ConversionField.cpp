#include "Platform/Linux/ConversionField.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

namespace Platform::Native {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal field of the format text; false when it does not fit an int.
bool ParseNumber(const char** pText, int* value) {
    int64_t result = 0;
    const char* p = *pText;
    while (IsDigit(*p)) {
        result = result * 10 + (*p - '0');
        if (result > INT_MAX) {
            return false;
        }
        ++p;
    }
    *pText = p;
    *value = static_cast<int>(result);
    return true;
}

void AddFlag(ConversionField* field, char flag) {
    const size_t count = std::strlen(field->flags);
    if (std::strchr(field->flags, flag) == nullptr && count + 1 < sizeof(field->flags)) {
        field->flags[count] = flag;
    }
    if (flag == '-') {
        field->leftAlign = true;
    }
}

char* AppendDecimal(char* out, int value) {
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}

// Rebuilds the field's text with '*' values resolved, for the C library.
void BuildFieldText(const ConversionField& field, char* out) {
    *out++ = '%';
    for (const char* flag = field.flags; *flag != 0; ++flag) {
        *out++ = *flag;
    }
    if (field.leftAlign && std::strchr(field.flags, '-') == nullptr) {
        *out++ = '-';
    }
    if (field.width >= 0) {
        out = AppendDecimal(out, field.width);
    }
    if (field.precision >= 0) {
        *out++ = '.';
        out = AppendDecimal(out, field.precision);
    }
    for (const char* length = field.length; *length != 0; ++length) {
        *out++ = *length;
    }
    *out++ = field.letter;
    *out = 0;
}

bool IsLength(const ConversionField& field, const char* length) {
    return std::strcmp(field.length, length) == 0;
}

template <typename T>
int Print(char* destination, size_t room, const char* fieldText, T value) {
    return std::snprintf(destination, room, fieldText, value);
}

int FormatSigned(char* destination, size_t room, const ConversionField& field, const char* fieldText,
                 va_list* pArgs) {
    if (IsLength(field, "l")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, long));
    }
    if (IsLength(field, "ll") || IsLength(field, "L")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, long long));
    }
    if (IsLength(field, "z")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, std::make_signed_t<size_t>));
    }
    if (IsLength(field, "j")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, intmax_t));
    }
    if (IsLength(field, "t")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, ptrdiff_t));
    }
    // hh and h arrive promoted to int; the C library narrows them itself.
    return Print(destination, room, fieldText, va_arg(*pArgs, int));
}

int FormatUnsigned(char* destination, size_t room, const ConversionField& field, const char* fieldText,
                   va_list* pArgs) {
    if (IsLength(field, "l")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, unsigned long));
    }
    if (IsLength(field, "ll") || IsLength(field, "L")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, unsigned long long));
    }
    if (IsLength(field, "z")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, size_t));
    }
    if (IsLength(field, "j")) {
        return Print(destination, room, fieldText, va_arg(*pArgs, uintmax_t));
    }
    if (IsLength(field, "t")) {
        return Print(destination, room, fieldText,
                     static_cast<std::make_unsigned_t<ptrdiff_t>>(va_arg(*pArgs, ptrdiff_t)));
    }
    return Print(destination, room, fieldText, va_arg(*pArgs, unsigned int));
}

int FormatPointer(char* destination, size_t room, const ConversionField& field, const void* pointer) {
    constexpr int digits = static_cast<int>(sizeof(void*) * 2);
    char text[digits + 1];
    auto value = reinterpret_cast<uintptr_t>(pointer);
    for (int i = digits - 1; i >= 0; --i) {
        text[i] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    }
    text[digits] = 0;
    const int width = field.width > digits ? field.width : digits;
    return std::snprintf(destination, room, field.leftAlign ? "%-*s" : "%*s", width, text);
}

}  // namespace

bool ParseConversionField(const char** pFormat, va_list* pArgs, ConversionField* field) {
    const char* p = *pFormat;
    *field = ConversionField{};
    while (*p != 0 && std::strchr("-+ #0'", *p) != nullptr) {
        AddFlag(field, *p++);
    }
    if (*p == '*') {
        ++p;
        const int width = va_arg(*pArgs, int);
        if (width < 0) {
            if (width == INT_MIN) {
                return false;
            }
            field->leftAlign = true;
            field->width = -width;
        } else {
            field->width = width;
        }
    } else if (IsDigit(*p)) {
        if (!ParseNumber(&p, &field->width)) {
            return false;
        }
        if (*p == '$') {
            return false;  // positional arguments are not supported
        }
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            const int precision = va_arg(*pArgs, int);
            field->precision = precision < 0 ? -1 : precision;
        } else if (!ParseNumber(&p, &field->precision)) {
            return false;
        }
    }
    if ((p[0] == 'h' && p[1] == 'h') || (p[0] == 'l' && p[1] == 'l')) {
        field->length[0] = p[0];
        field->length[1] = p[1];
        p += 2;
    } else if (*p != 0 && std::strchr("hlzjtL", *p) != nullptr) {
        field->length[0] = *p++;
    }
    if (*p == 0 || std::strchr("diouxXcsfFeEgGaApS%", *p) == nullptr) {
        return false;
    }
    field->letter = *p++;
    *pFormat = p;
    return true;
}

int FormatConversion(char* destination, size_t room, const ConversionField& field, va_list* pArgs) {
    char fieldText[48];
    BuildFieldText(field, fieldText);
    switch (field.letter) {
    case 'd':
    case 'i':
        return FormatSigned(destination, room, field, fieldText, pArgs);
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        return FormatUnsigned(destination, room, field, fieldText, pArgs);
    case 'c':
        if (IsLength(field, "l")) {
            return Print(destination, room, fieldText, va_arg(*pArgs, wint_t));
        }
        return Print(destination, room, fieldText, va_arg(*pArgs, int));
    case 's':
        if (IsLength(field, "l")) {
            return Print(destination, room, fieldText, va_arg(*pArgs, const wchar_t*));
        }
        return Print(destination, room, fieldText, va_arg(*pArgs, const char*));
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (IsLength(field, "L")) {
            return Print(destination, room, fieldText, va_arg(*pArgs, long double));
        }
        return Print(destination, room, fieldText, va_arg(*pArgs, double));
    case 'p':
        return FormatPointer(destination, room, field, va_arg(*pArgs, const void*));
    case '%':
        return std::snprintf(destination, room, "%%");
    default:
        return -1;
    }
}

}  // namespace Platform::Native
