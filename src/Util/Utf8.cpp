#include "Util/Utf8.h"

#include <cstring>

#include "Util/Assert.h"

namespace {

size_t WideLength(const WCHAR* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

std::string EncodeUnits(const WCHAR* text, size_t count) {
    std::string res(Utf8Length(text, count), '\0');
    char* pOut = res.data();
    for (size_t i = 0; i < count; ++i) {
        pOut += EncodeUtf8Unit(text[i], pOut);
    }
    return res;
}

bool IsContinuation(unsigned char ch) {
    return ch >= 0x80 && ch < 0xC0;
}

// `checked`: our own text, whose malformed bytes are a programming error worth a debug assertion.
// Text from outside is decoded the same way with no assertion: its bytes are not ours to vouch for.
WString DecodeBytes(const unsigned char* text, size_t count, bool checked) {
    // Every byte except a continuation byte starts a unit, so one reservation is enough.
    size_t units = 0;
    for (size_t i = 0; i < count; ++i) {
        units += IsContinuation(text[i]) ? 0 : 1;
    }
    WString res;
    res.reserve(units);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char ch = text[i];
        if (ch < 0x80) {
            res.push_back(ch);
        } else if (ch < 0xC0) {
            if (checked) {
                QV_ASSERT(res.size());
            }
            if (!res.empty()) {
                // The unit keeps its low 16 bits, as the encoder gave them.
                res.back() = static_cast<WCHAR>((res.back() << 6) | (ch & 0x3F));
            }
        } else if (ch < 0xE0) {
            res.push_back(static_cast<WCHAR>(ch & 0x1F));
        } else {
            if (checked) {
                QV_ASSERT(ch < 0xF0);
            }
            res.push_back(static_cast<WCHAR>(ch & 0x0F));
        }
    }
    return res;
}

}  // namespace

size_t Utf8Length(const WCHAR* text, size_t count) {
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        const WCHAR unit = text[i];
        length += 1 + (unit >= 0x80 ? 1 : 0) + (unit >= 0x800 ? 1 : 0);
    }
    return length;
}

std::string ToUtf8(const WCHAR* text) {
    if (text == nullptr) {
        return std::string();
    }
    return EncodeUnits(text, WideLength(text));
}

std::string ToUtf8(const WString& text) {
    return EncodeUnits(text.data(), text.size());
}

WString FromUtf8(const char* text) {
    if (text == nullptr) {
        return WString();
    }
    return DecodeBytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text), true);
}

WString FromUtf8(const std::string& text) {
    return DecodeBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size(), true);
}

WString FromOutsideUtf8(const std::string& text) {
    return DecodeBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size(), false);
}

void* SortedSearch(const void* key, const void* base, size_t num, size_t width,
                   int (*compare)(const void* key, const void* element)) {
    QV_ASSERT(base != NULL || num == 0);
    QV_ASSERT(width > 0);
    QV_ASSERT(compare != NULL);
    if (base == nullptr || width == 0 || compare == nullptr) {
        return nullptr;
    }
    const char* pBase = static_cast<const char*>(base);
    size_t low = 0;
    size_t high = num;  // the candidates are [low, high)
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const char* pElement = pBase + middle * width;
        const int order = compare(key, pElement);
        if (order == 0) {
            return const_cast<char*>(pElement);
        }
        if (order < 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return nullptr;
}
