// The value encodings of everything that crosses the bridge or lands in a snapshot: little-endian
// fixed-width integers, GUIDs in their in-memory field layout, the compressed counter and
// length-prefixed UTF-8 strings. No other code formats these values by hand.
//
// Failures raise std::runtime_error with a fixed text; a value that cannot be encoded is refused
// before any of its bytes is written.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "Bridge/IReadBridgeStream.h"
#include "Bridge/IWriteBridgeStream.h"
#include "Platform/Types.h"

// Largest value the counter encoding can carry.
constexpr uint32_t MaxCounterValue = 0x1FFFFFFF;

// Fixed-width values, least significant byte first; one Write or Read each.
void WriteU8(IWriteBridgeStream& stream, uint8_t value);
void WriteBool(IWriteBridgeStream& stream, bool value);
void WriteU16(IWriteBridgeStream& stream, uint16_t value);
void WriteU32(IWriteBridgeStream& stream, uint32_t value);
void WriteI32(IWriteBridgeStream& stream, int32_t value);
void WriteI64(IWriteBridgeStream& stream, int64_t value);
void WriteU64(IWriteBridgeStream& stream, uint64_t value);

uint8_t ReadU8(IReadBridgeStream& stream);
bool ReadBool(IReadBridgeStream& stream);  // true when the byte is non-zero
uint16_t ReadU16(IReadBridgeStream& stream);
uint32_t ReadU32(IReadBridgeStream& stream);
int32_t ReadI32(IReadBridgeStream& stream);
int64_t ReadI64(IReadBridgeStream& stream);
uint64_t ReadU64(IReadBridgeStream& stream);

// Data1 (u32), Data2 (u16), Data3 (u16), then the 8 bytes of Data4 as they stand.
void WriteGuid(IWriteBridgeStream& stream, const GUID& value);
GUID ReadGuid(IReadBridgeStream& stream);

// Sizes written at a fixed width, refused with "IWriteBridgeStream::WriteSizeTAsUInt<N>() too
// large value" when they do not fit. Every count or length a format gives as u8/u16/u32 goes here.
void WriteSizeTAsUInt8(IWriteBridgeStream& stream, size_t value);
void WriteSizeTAsUInt16(IWriteBridgeStream& stream, size_t value);
void WriteSizeTAsUInt32(IWriteBridgeStream& stream, size_t value);

// Variable-width fields of the snapshot layouts, whose width a byte of the section gives: the low
// `width` bytes (1 to 8) of the value, least significant first, in one Write. A value that needs
// more bytes raises "Too large value"; a width outside 1 to 8 raises "Invalid width".
void WriteSized(IWriteBridgeStream& stream, uint64_t value, unsigned width);
// The "no value" of a variable-width field: `width` bytes of 0xFF (the field's -1).
void WriteSizedNone(IWriteBridgeStream& stream, unsigned width);

// The fixed-width and variable-width encodings into memory, for writers that assemble records in
// place (BufferedWriteStream::Reserve) rather than with one stream write per field. Each writes at
// `p`, which must have room, and returns the position after its bytes. Refusals are those of the
// matching Write function, raised before anything is written.
inline BYTE* EncodeU8(BYTE* p, uint8_t value) noexcept {
    *p = value;
    return p + 1;
}
// Little-endian: on a little-endian host one copy of the value, which compiles to one store.
template <typename T>
inline BYTE* EncodeLittleEndian(BYTE* p, T value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &value, sizeof value);
    } else {
        for (size_t i = 0; i < sizeof value; ++i) {
            p[i] = static_cast<BYTE>(value >> (8 * i));
        }
    }
    return p + sizeof value;
}
inline BYTE* EncodeU16(BYTE* p, uint16_t value) noexcept {
    return EncodeLittleEndian(p, value);
}
inline BYTE* EncodeU32(BYTE* p, uint32_t value) noexcept {
    return EncodeLittleEndian(p, value);
}
inline BYTE* EncodeU64(BYTE* p, uint64_t value) noexcept {
    return EncodeLittleEndian(p, value);
}
[[noreturn]] void RefuseEncoding(const char* pMessage);
inline BYTE* EncodeSizeTAsUInt16(BYTE* p, size_t value) {
    if (value > 0xFFFF) {
        RefuseEncoding("IWriteBridgeStream::WriteSizeTAsUInt16() too large value");
    }
    return EncodeU16(p, static_cast<uint16_t>(value));
}
inline BYTE* EncodeSized(BYTE* p, uint64_t value, unsigned width) {
    if (width < 1 || width > 8) {
        RefuseEncoding("Invalid width");
    }
    if (width < 8 && (value >> (8 * width)) != 0) {
        RefuseEncoding("Too large value");
    }
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &value, width);  // the low bytes come first
    } else {
        for (unsigned i = 0; i < width; ++i) {
            p[i] = static_cast<BYTE>(value >> (8 * i));
        }
    }
    return p + width;
}
inline BYTE* EncodeSizedNone(BYTE* p, unsigned width) {
    if (width < 1 || width > 8) {
        RefuseEncoding("Invalid width");
    }
    for (unsigned i = 0; i < width; ++i) {
        p[i] = 0xFF;
    }
    return p + width;
}

// The compressed unsigned integer: 1, 2 or 4 bytes, big-endian within them, always the shortest
// form, each byte a separate one-byte Write. Values above MaxCounterValue raise "Too large value".
void WriteCounter(IWriteBridgeStream& stream, uint32_t value);
// Accepts longer forms than needed; lead bytes E0 to FF raise "Invalid counter encoding".
uint32_t ReadCounter(IReadBridgeStream& stream);

// A counter with the byte length, then the bytes, no terminator. Narrow text goes unchanged; wide
// text goes as UTF-8, one unit at a time, and the length counts UTF-8 bytes. A null pointer is
// written as the empty string.
void WriteString(IWriteBridgeStream& stream, std::string_view text);
void WriteString(IWriteBridgeStream& stream, const char* text);
void WriteString(IWriteBridgeStream& stream, std::u16string_view text);
void WriteString(IWriteBridgeStream& stream, const WCHAR* text);

std::string ReadString(IReadBridgeStream& stream);
// The UTF-8 bytes of a string converted back to wide text.
WString ReadWideString(IReadBridgeStream& stream);
