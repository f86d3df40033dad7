// Building expected wire bytes by hand in tests: little-endian integers, GUIDs in their field
// layout, concatenation.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "Platform/Types.h"

using Bytes = std::vector<BYTE>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

inline Bytes Le16(uint16_t v) {
    return {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8)};
}

inline Bytes Le32(uint32_t v) {
    return {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
            static_cast<BYTE>(v >> 24)};
}

inline Bytes Le64(uint64_t v) {
    Bytes bytes;
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
    return bytes;
}

inline Bytes GuidBytes(const GUID& g) {
    Bytes bytes = Concat({Le32(g.Data1), Le16(g.Data2), Le16(g.Data3)});
    bytes.insert(bytes.end(), g.Data4, g.Data4 + 8);
    return bytes;
}

// Bytes from hex digit pairs; spaces only group them for reading.
inline Bytes Hx(const char* pHex) {
    Bytes bytes;
    for (const char* p = pHex; *p != 0; ++p) {
        if (*p != ' ') {
            bytes.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
            ++p;
        }
    }
    return bytes;
}

// ASCII text as bytes, without a length.
inline Bytes Ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
