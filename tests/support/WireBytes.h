// Byte sequences of the bridge protocol written out by hand, for tests that check encoders
// and decoders against the documented layout instead of against our own encoder.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Types.h"

namespace WireBytes {

using Bytes = std::vector<BYTE>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

inline Bytes U16(uint16_t value) {
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8)};
}

inline Bytes U32(uint32_t value) {
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
            static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
}

inline Bytes U64(uint64_t value) {
    Bytes bytes;
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
    }
    return bytes;
}

// A string shorter than 0x80 bytes: the one-byte length, then the bytes as given.
inline Bytes ShortText(const std::string& text) {
    if (text.size() >= 0x80) {
        throw std::logic_error("ShortText takes fewer than 128 bytes");
    }
    Bytes bytes{static_cast<BYTE>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// A string shorter than 0x4000 bytes: a one-byte length below 0x80, otherwise two bytes with the
// top bit set, then the bytes as given.
inline Bytes Text(const std::string& text) {
    if (text.size() >= 0x4000) {
        throw std::logic_error("Text takes fewer than 16384 bytes");
    }
    if (text.size() < 0x80) {
        return ShortText(text);
    }
    Bytes bytes{static_cast<BYTE>(0x80 | (text.size() >> 8)), static_cast<BYTE>(text.size() & 0xFF)};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// {E7A72A5E-091C-44AB-9017-2914A3E9CB0D} as it travels.
inline const Bytes ProtocolGuidBytes{0x5E, 0x2A, 0xA7, 0xE7, 0x1C, 0x09, 0xAB, 0x44,
                                0x90, 0x17, 0x29, 0x14, 0xA3, 0xE9, 0xCB, 0x0D};
// {D65C00BF-B0D3-48FF-8D91-F4BEC378DBB9}
inline const Bytes PerformanceClientBytes{0xBF, 0x00, 0x5C, 0xD6, 0xD3, 0xB0, 0xFF, 0x48,
                                         0x8D, 0x91, 0xF4, 0xBE, 0xC3, 0x78, 0xDB, 0xB9};
// {F19A68A9-CA9B-4A2E-80C6-8E21F080EAFF}
inline const Bytes MemoryClientBytes{0xA9, 0x68, 0x9A, 0xF1, 0x9B, 0xCA, 0x2E, 0x4A,
                                    0x80, 0xC6, 0x8E, 0x21, 0xF0, 0x80, 0xEA, 0xFF};
// {00112233-4455-6677-8899-AABBCCDDEEFF}
inline const Bytes ProcessGuidBytes{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
inline const GUID ProcessGuidValue = {0x00112233, 0x4455, 0x6677,
                                      {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

// Handshake messages 3 to 9 of a process 0x1234 with log path "/tmp/l.log", command line
// "\"/bin/app\" -x" and the environment strings given (each shorter than 128 bytes).
inline Bytes Announcement(const Bytes& clientGuid,
                          std::initializer_list<std::string> environment = {}) {
    Bytes bytes =
        Concat({clientGuid, ProcessGuidBytes, ShortText("/tmp/l.log"), U32(0x1234),
                ShortText("\"/bin/app\" -x"), U16(static_cast<uint16_t>(environment.size()))});
    for (const std::string& text : environment) {
        const Bytes encoded = ShortText(text);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    return bytes;
}

}  // namespace WireBytes
