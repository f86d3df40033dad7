// What a fuid stands for: a function named by its module's metadata index and its metadata token,
// stable across unloads and reloads. Special tokens (top byte 0xFF) carry metadata index 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Platform/Types.h"

struct PermanentFunctionData {
    DWORD metaDataIndex;
    DWORD token;

    friend bool operator==(const PermanentFunctionData& a, const PermanentFunctionData& b) {
        return a.metaDataIndex == b.metaDataIndex && a.token == b.token;
    }
    friend bool operator!=(const PermanentFunctionData& a, const PermanentFunctionData& b) {
        return !(a == b);
    }
};

// Hashes the pair as one 64-bit value, mixed so that tokens of one table (which differ only in
// their low bits) spread over the buckets.
struct PermanentFunctionDataHash {
    size_t operator()(const PermanentFunctionData& data) const noexcept {
        uint64_t value = (uint64_t{data.metaDataIndex} << 32) | data.token;
        value ^= value >> 33;
        value *= 0xFF51AFD7ED558CCDull;
        value ^= value >> 33;
        return static_cast<size_t>(value);
    }
};
