#include "Platform/Format.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "Platform/Linux/ConversionField.h"
#include "Platform/Linux/NativeText.h"

namespace Platform {

namespace {

using Native::ConversionField;

// Writes into the caller's buffer and counts the length the whole text needs, like vsnprintf.
class BoundedOutput {
public:
    BoundedOutput(char* buffer, size_t capacity) : m_pBuffer(buffer), m_Capacity(capacity) {}

    void Put(char c) {
        if (m_Length + 1 < m_Capacity) {
            m_pBuffer[m_Length] = c;
        }
        ++m_Length;
    }

    void Put(const char* text, size_t length) {
        if (m_Length + 1 < m_Capacity) {
            const size_t room = m_Capacity - 1 - m_Length;
            std::memcpy(m_pBuffer + m_Length, text, length < room ? length : room);
        }
        m_Length += length;
    }

    void PutBlanks(size_t count) {
        if (m_Length + 1 < m_Capacity) {
            const size_t room = m_Capacity - 1 - m_Length;
            std::memset(m_pBuffer + m_Length, ' ', count < room ? count : room);
        }
        m_Length += count;
    }

    // Text padded with blanks to `width`, on the left unless aligned left.
    void PutPadded(const char* text, size_t length, const ConversionField& field) {
        const size_t width = field.width < 0 ? 0 : static_cast<size_t>(field.width);
        const size_t padding = width > length ? width - length : 0;
        if (!field.leftAlign) {
            PutBlanks(padding);
        }
        Put(text, length);
        if (field.leftAlign) {
            PutBlanks(padding);
        }
    }

    // Lets the C library write one conversion straight into the rest of the buffer.
    bool PutConversion(const ConversionField& field, va_list* pArgs) {
        const bool hasRoom = m_Length < m_Capacity;
        const int written = Native::FormatConversion(hasRoom ? m_pBuffer + m_Length : nullptr,
                                                     hasRoom ? m_Capacity - m_Length : 0, field,
                                                     pArgs);
        if (written < 0) {
            return false;
        }
        m_Length += static_cast<size_t>(written);
        return true;
    }

    int Finish() {
        if (m_Capacity > 0) {
            m_pBuffer[m_Length < m_Capacity ? m_Length : m_Capacity - 1] = 0;
        }
        return m_Length > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(m_Length);
    }

private:
    char* m_pBuffer;
    size_t m_Capacity;
    size_t m_Length = 0;
};

bool HasOnlyFlags(const ConversionField& field, const char* allowed) {
    for (const char* flag = field.flags; *flag != 0; ++flag) {
        if (std::strchr(allowed, *flag) == nullptr) {
            return false;
        }
    }
    return true;
}

bool IsLength(const ConversionField& field, const char* length) {
    return std::strcmp(field.length, length) == 0;
}

// The common conversions of log lines (integers without precision or sign flags, plain text,
// characters, pointers), written directly: the C library costs a call per conversion. Returns
// false, having taken no argument, for everything else.
bool TryPutDirect(BoundedOutput& out, const ConversionField& field, va_list* pArgs) {
    const char conversion = field.letter;
    if (conversion == 's' && field.length[0] == 0 && HasOnlyFlags(field, "-")) {
        const char* text = va_arg(*pArgs, const char*);
        if (text == nullptr) {
            text = field.precision < 0 || field.precision >= 6 ? "(null)" : "";
        }
        const size_t length = field.precision < 0 ? std::strlen(text)
                                                 : strnlen(text, static_cast<size_t>(field.precision));
        out.PutPadded(text, length, field);
        return true;
    }
    if (conversion == 'c' && field.length[0] == 0 && HasOnlyFlags(field, "-")) {
        const char c = static_cast<char>(va_arg(*pArgs, int));
        out.PutPadded(&c, 1, field);
        return true;
    }
    if (conversion == 'p') {
        constexpr size_t digits = sizeof(void*) * 2;
        char text[digits];
        auto value = reinterpret_cast<uintptr_t>(va_arg(*pArgs, const void*));
        for (size_t i = digits; i-- > 0;) {
            text[i] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        }
        out.PutPadded(text, digits, field);
        return true;
    }
    const bool isSigned = conversion == 'd' || conversion == 'i';
    const bool isUnsigned = conversion == 'u' || conversion == 'x' || conversion == 'X';
    if ((!isSigned && !isUnsigned) || field.precision >= 0 || !HasOnlyFlags(field, "-0") ||
        IsLength(field, "L")) {
        return false;
    }
    unsigned long long magnitude = 0;
    bool negative = false;
    if (isSigned) {
        long long value = 0;
        if (IsLength(field, "l")) {
            value = va_arg(*pArgs, long);
        } else if (IsLength(field, "ll")) {
            value = va_arg(*pArgs, long long);
        } else if (IsLength(field, "z")) {
            value = va_arg(*pArgs, std::make_signed_t<size_t>);
        } else if (IsLength(field, "j")) {
            value = va_arg(*pArgs, intmax_t);
        } else if (IsLength(field, "t")) {
            value = va_arg(*pArgs, ptrdiff_t);
        } else {
            const int promoted = va_arg(*pArgs, int);
            value = IsLength(field, "hh")  ? static_cast<signed char>(promoted)
                    : IsLength(field, "h") ? static_cast<short>(promoted)
                                          : promoted;
        }
        negative = value < 0;
        magnitude = negative ? 0ull - static_cast<unsigned long long>(value)
                             : static_cast<unsigned long long>(value);
    } else if (IsLength(field, "l")) {
        magnitude = va_arg(*pArgs, unsigned long);
    } else if (IsLength(field, "ll")) {
        magnitude = va_arg(*pArgs, unsigned long long);
    } else if (IsLength(field, "z")) {
        magnitude = va_arg(*pArgs, size_t);
    } else if (IsLength(field, "j")) {
        magnitude = va_arg(*pArgs, uintmax_t);
    } else if (IsLength(field, "t")) {
        magnitude = static_cast<std::make_unsigned_t<ptrdiff_t>>(va_arg(*pArgs, ptrdiff_t));
    } else {
        const unsigned promoted = va_arg(*pArgs, unsigned);
        magnitude = IsLength(field, "hh")  ? static_cast<unsigned char>(promoted)
                    : IsLength(field, "h") ? static_cast<unsigned short>(promoted)
                                          : promoted;
    }
    const char* digitSet = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    const unsigned base = conversion == 'x' || conversion == 'X' ? 16 : 10;
    char text[24];
    size_t start = sizeof(text);
    do {
        text[--start] = digitSet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    const size_t digits = sizeof(text) - start;
    const size_t length = digits + (negative ? 1 : 0);
    const size_t width = field.width < 0 ? 0 : static_cast<size_t>(field.width);
    const size_t padding = width > length ? width - length : 0;
    const bool zeroPad = !field.leftAlign && std::strchr(field.flags, '0') != nullptr;
    if (!field.leftAlign && !zeroPad) {
        out.PutBlanks(padding);
    }
    if (negative) {
        out.Put('-');
    }
    if (zeroPad) {
        for (size_t i = 0; i < padding; ++i) {
            out.Put('0');
        }
    }
    out.Put(text + start, digits);
    if (field.leftAlign) {
        out.PutBlanks(padding);
    }
    return true;
}

size_t Utf8UnitSize(WCHAR unit) {
    return unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
}

// %S: 16-bit text, each unit encoded on its own. Precision limits the bytes written and never
// splits a unit's sequence; width pads with blanks.
void PutWideText(BoundedOutput& out, const ConversionField& field, const WCHAR* text) {
    static constexpr WCHAR nullText[] = u"(null)";
    if (text == nullptr) {
        // The same rule as the C library's %s: a precision too short for "(null)" prints nothing.
        text = field.precision < 0 || field.precision >= 6 ? nullText : u"";
    }
    const size_t limit = field.precision < 0 ? SIZE_MAX : static_cast<size_t>(field.precision);
    size_t bytes = 0;
    size_t units = 0;
    while (text[units] != 0 && bytes + Utf8UnitSize(text[units]) <= limit) {
        bytes += Utf8UnitSize(text[units]);
        ++units;
    }
    const size_t width = field.width < 0 ? 0 : static_cast<size_t>(field.width);
    const size_t padding = width > bytes ? width - bytes : 0;
    if (!field.leftAlign) {
        out.PutBlanks(padding);
    }
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = text[i];
        if (unit < 0x80) {
            out.Put(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out.Put(static_cast<char>(0xC0 | (unit >> 6)));
            out.Put(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            out.Put(static_cast<char>(0xE0 | (unit >> 12)));
            out.Put(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.Put(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    if (field.leftAlign) {
        out.PutBlanks(padding);
    }
}

// %s and %S of the wide formatter: 16-bit text; precision and width count units.
void AppendWideText(WString& out, const ConversionField& field, const WCHAR* text) {
    if (text == nullptr) {
        text = field.precision < 0 || field.precision >= 6 ? u"(null)" : u"";
    }
    size_t length = Native::WideLength(text);
    if (field.precision >= 0 && length > static_cast<size_t>(field.precision)) {
        length = static_cast<size_t>(field.precision);
    }
    const size_t width = field.width < 0 ? 0 : static_cast<size_t>(field.width);
    const size_t padding = width > length ? width - length : 0;
    if (!field.leftAlign) {
        out.append(padding, u' ');
    }
    out.append(text, length);
    if (field.leftAlign) {
        out.append(padding, u' ');
    }
}

bool AppendNarrowConversion(WString& out, const ConversionField& field, va_list* pArgs) {
    char small[256];
    va_list probe;
    va_copy(probe, *pArgs);
    const int needed = Native::FormatConversion(small, sizeof(small), field, &probe);
    va_end(probe);
    if (needed < 0) {
        return false;
    }
    if (static_cast<size_t>(needed) < sizeof(small)) {
        Native::FormatConversion(small, sizeof(small), field, pArgs);
        out += Native::FromUtf8(std::string_view(small, static_cast<size_t>(needed)));
        return true;
    }
    std::string large(static_cast<size_t>(needed) + 1, '\0');
    Native::FormatConversion(large.data(), large.size(), field, pArgs);
    large.resize(static_cast<size_t>(needed));
    out += Native::FromUtf8(large);
    return true;
}

}  // namespace

int FormatV(char* buffer, size_t capacity, const char* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    BoundedOutput out(buffer, capacity);
    bool ok = true;
    for (const char* p = format; *p != 0 && ok;) {
        if (*p != '%') {
            const char* literal = p;
            while (*p != 0 && *p != '%') {
                ++p;
            }
            out.Put(literal, static_cast<size_t>(p - literal));
            continue;
        }
        ++p;
        ConversionField field;
        if (!Native::ParseConversionField(&p, &ap, &field)) {
            ok = false;
        } else if (field.letter == 'S') {
            PutWideText(out, field, va_arg(ap, const WCHAR*));
        } else if (!TryPutDirect(out, field, &ap)) {
            ok = out.PutConversion(field, &ap);
        }
    }
    va_end(ap);
    const int length = out.Finish();
    return ok ? length : -1;
}

int Format(char* buffer, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = FormatV(buffer, capacity, format, args);
    va_end(args);
    return result;
}

bool FormatWideV(WString* out, size_t capacity, const char* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    WString text;
    bool ok = true;
    const char* p = format;
    while (*p != 0 && ok) {
        const char* literal = p;
        while (*p != 0 && *p != '%') {
            ++p;
        }
        if (p != literal) {
            text += Native::FromUtf8(std::string_view(literal, static_cast<size_t>(p - literal)));
            continue;
        }
        ++p;
        ConversionField field;
        if (!Native::ParseConversionField(&p, &ap, &field)) {
            ok = false;
        } else if (field.letter == 's' || field.letter == 'S') {
            AppendWideText(text, field, va_arg(ap, const WCHAR*));
        } else {
            ok = AppendNarrowConversion(text, field, &ap);
        }
    }
    va_end(ap);
    if (!ok || text.size() + 1 > capacity) {
        out->clear();
        return false;
    }
    *out = std::move(text);
    return true;
}

bool FormatWide(WString* out, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const bool result = FormatWideV(out, capacity, format, args);
    va_end(args);
    return result;
}

}  // namespace Platform
