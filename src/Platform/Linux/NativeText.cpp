#include "Platform/Linux/NativeText.h"

namespace Platform::Native {

namespace {

void AppendCodePoint(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::string ToUtf8(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        uint32_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            uint32_t low = text[++i];
            AppendCodePoint(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else {
            AppendCodePoint(out, unit);
        }
    }
    return out;
}

WString FromUtf8(std::string_view text) {
    WString out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        // Sequence length and the range of the second byte, which excludes overlong forms and
        // values above U+10FFFF. Surrogates (ED A0..BF) pass, so lone ones round-trip.
        size_t extra = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        uint32_t cp = lead & (0x3F >> extra);
        size_t j = 1;
        for (; j <= extra && i + j < text.size(); ++j) {
            const auto next = static_cast<uint8_t>(text[i + j]);
            if (next < (j == 1 ? low : 0x80) || next > (j == 1 ? high : 0xBF)) {
                break;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        if (j != extra + 1) {
            // One replacement for the lead and the continuation bytes that still fitted.
            out.push_back(0xFFFD);
            i += j;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(cp));
        }
        i += extra + 1;
    }
    return out;
}

size_t WideLength(const WCHAR* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

}  // namespace Platform::Native
