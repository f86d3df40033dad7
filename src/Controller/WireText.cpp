#include "Controller/WireText.h"

#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"

namespace Controller {

namespace {

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

constexpr uint32_t Replacement = 0xFFFD;

bool IsHighSurrogate(uint32_t value) {
    return value >= 0xD800 && value <= 0xDBFF;
}

bool IsLowSurrogate(uint32_t value) {
    return value >= 0xDC00 && value <= 0xDFFF;
}

bool IsContinuation(const std::string& text, size_t at) {
    return at < text.size() && (static_cast<uint8_t>(text[at]) & 0xC0) == 0x80;
}

// Decodes the sequence at `at` (one to four bytes; surrogates come out as their own values) and
// returns its length. A malformed sequence is one byte long and decodes to the replacement.
size_t DecodeOne(const std::string& text, size_t at, uint32_t* codePoint) {
    const uint8_t lead = static_cast<uint8_t>(text[at]);
    size_t length;
    uint32_t value;
    uint32_t minimum;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        *codePoint = Replacement;
        return 1;
    }
    for (size_t k = 1; k < length; ++k) {
        if (!IsContinuation(text, at + k)) {
            *codePoint = Replacement;
            return 1;
        }
        value = (value << 6) | (static_cast<uint8_t>(text[at + k]) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF) {
        *codePoint = Replacement;  // an overlong form or beyond the last character
        return 1;
    }
    *codePoint = value;
    return length;
}

}  // namespace

std::string ReadBoundedString(IReadBridgeStream& stream, size_t maxLength, const char* what) {
    const size_t length = ReadCounter(stream);
    if (length > maxLength) {
        throw std::runtime_error(std::string(what) + " is " + std::to_string(length) +
                                 " bytes long, more than the " + std::to_string(maxLength) +
                                 " allowed");
    }
    std::string text(length, '\0');
    if (length > 0) {
        stream.Read(text.data(), length);
    }
    return text;
}

std::string DecodeWireText(const std::string& wire) {
    // Decoded by hand rather than with the library's converter: this text comes from outside and
    // may be malformed, which must cost a replacement character, never an assertion.
    std::string text;
    text.reserve(wire.size());
    uint32_t pendingHigh = 0;  // a high surrogate waiting for its low half
    size_t i = 0;
    while (i < wire.size()) {
        uint32_t codePoint = 0;
        i += DecodeOne(wire, i, &codePoint);
        if (pendingHigh != 0) {
            if (IsLowSurrogate(codePoint)) {
                AppendUtf8(text, 0x10000 + ((pendingHigh - 0xD800) << 10) + (codePoint - 0xDC00));
                pendingHigh = 0;
                continue;
            }
            AppendUtf8(text, Replacement);
            pendingHigh = 0;
        }
        if (IsHighSurrogate(codePoint)) {
            pendingHigh = codePoint;
        } else {
            AppendUtf8(text, IsLowSurrogate(codePoint) ? Replacement : codePoint);
        }
    }
    if (pendingHigh != 0) {
        AppendUtf8(text, Replacement);
    }
    return text;
}

}  // namespace Controller
