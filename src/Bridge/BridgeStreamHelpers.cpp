#include "Bridge/BridgeStreamHelpers.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "Util/Utf8.h"

namespace {

template <typename T>
void WriteLittleEndian(IWriteBridgeStream& stream, T value) {
    BYTE bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<BYTE>(value >> (8 * i));
    }
    stream.Write(bytes, sizeof(T));
}

template <typename T>
T ReadLittleEndian(IReadBridgeStream& stream) {
    BYTE bytes[sizeof(T)];
    stream.Read(bytes, sizeof(T));
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | (static_cast<T>(bytes[i]) << (8 * i)));
    }
    return value;
}

void WriteOneByte(IWriteBridgeStream& stream, uint32_t value) {
    const BYTE byte = static_cast<BYTE>(value);
    stream.Write(&byte, 1);
}

// Lengths are checked as size_t: narrowing first would let 4 GiB + n pass as n.
void CheckCounterLength(size_t length) {
    if (length > MaxCounterValue) {
        throw std::runtime_error("Too large value");
    }
}

// Strings up to this size are read in one piece; longer ones grow as their bytes arrive, so a
// corrupt or hostile length cannot make us allocate more than the stream delivers.
constexpr size_t ReadStringChunk = 64 * 1024;

// Wide text is encoded through a stack buffer: no allocation on the snapshot writers' hot path,
// and one Write for any string up to this many bytes.
constexpr size_t EncodeBufferSize = 512;

}  // namespace

void WriteU8(IWriteBridgeStream& stream, uint8_t value) {
    stream.Write(&value, 1);
}

void WriteBool(IWriteBridgeStream& stream, bool value) {
    WriteU8(stream, value ? 1 : 0);
}

void WriteU16(IWriteBridgeStream& stream, uint16_t value) {
    WriteLittleEndian(stream, value);
}

void WriteU32(IWriteBridgeStream& stream, uint32_t value) {
    WriteLittleEndian(stream, value);
}

void WriteI32(IWriteBridgeStream& stream, int32_t value) {
    WriteLittleEndian(stream, static_cast<uint32_t>(value));
}

void WriteI64(IWriteBridgeStream& stream, int64_t value) {
    WriteLittleEndian(stream, static_cast<uint64_t>(value));
}

void WriteU64(IWriteBridgeStream& stream, uint64_t value) {
    WriteLittleEndian(stream, value);
}

uint8_t ReadU8(IReadBridgeStream& stream) {
    uint8_t value = 0;
    stream.Read(&value, 1);
    return value;
}

bool ReadBool(IReadBridgeStream& stream) {
    return ReadU8(stream) != 0;
}

uint16_t ReadU16(IReadBridgeStream& stream) {
    return ReadLittleEndian<uint16_t>(stream);
}

uint32_t ReadU32(IReadBridgeStream& stream) {
    return ReadLittleEndian<uint32_t>(stream);
}

int32_t ReadI32(IReadBridgeStream& stream) {
    return static_cast<int32_t>(ReadLittleEndian<uint32_t>(stream));
}

int64_t ReadI64(IReadBridgeStream& stream) {
    return static_cast<int64_t>(ReadLittleEndian<uint64_t>(stream));
}

uint64_t ReadU64(IReadBridgeStream& stream) {
    return ReadLittleEndian<uint64_t>(stream);
}

void WriteGuid(IWriteBridgeStream& stream, const GUID& value) {
    BYTE bytes[16];
    for (size_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<BYTE>(value.Data1 >> (8 * i));
    }
    bytes[4] = static_cast<BYTE>(value.Data2);
    bytes[5] = static_cast<BYTE>(value.Data2 >> 8);
    bytes[6] = static_cast<BYTE>(value.Data3);
    bytes[7] = static_cast<BYTE>(value.Data3 >> 8);
    std::copy(value.Data4, value.Data4 + 8, bytes + 8);
    stream.Write(bytes, sizeof(bytes));
}

GUID ReadGuid(IReadBridgeStream& stream) {
    BYTE bytes[16];
    stream.Read(bytes, sizeof(bytes));
    GUID value{};
    for (size_t i = 0; i < 4; ++i) {
        value.Data1 |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    value.Data2 = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
    value.Data3 = static_cast<uint16_t>(bytes[6] | (bytes[7] << 8));
    std::copy(bytes + 8, bytes + 16, value.Data4);
    return value;
}

void WriteSizeTAsUInt8(IWriteBridgeStream& stream, size_t value) {
    if (value > 0xFF) {
        throw std::runtime_error("IWriteBridgeStream::WriteSizeTAsUInt8() too large value");
    }
    WriteU8(stream, static_cast<uint8_t>(value));
}

void WriteSizeTAsUInt16(IWriteBridgeStream& stream, size_t value) {
    if (value > 0xFFFF) {
        throw std::runtime_error("IWriteBridgeStream::WriteSizeTAsUInt16() too large value");
    }
    WriteU16(stream, static_cast<uint16_t>(value));
}

void WriteSizeTAsUInt32(IWriteBridgeStream& stream, size_t value) {
    // Only reachable where size_t is wider than 32 bits.
    if (static_cast<uint64_t>(value) >> 32 != 0) {
        throw std::runtime_error("IWriteBridgeStream::WriteSizeTAsUInt32() too large value");
    }
    WriteU32(stream, static_cast<uint32_t>(value));
}

void RefuseEncoding(const char* pMessage) {
    throw std::runtime_error(pMessage);
}

void WriteSized(IWriteBridgeStream& stream, uint64_t value, unsigned width) {
    BYTE bytes[8];
    stream.Write(bytes, static_cast<size_t>(EncodeSized(bytes, value, width) - bytes));
}

void WriteSizedNone(IWriteBridgeStream& stream, unsigned width) {
    BYTE bytes[8];
    stream.Write(bytes, static_cast<size_t>(EncodeSizedNone(bytes, width) - bytes));
}

void WriteCounter(IWriteBridgeStream& stream, uint32_t value) {
    if (value < 0x80) {
        WriteOneByte(stream, value);
    } else if (value < 0x4000) {
        WriteOneByte(stream, (value >> 8) | 0x80);
        WriteOneByte(stream, value & 0xFF);
    } else if (value > MaxCounterValue) {
        throw std::runtime_error("Too large value");
    } else {
        WriteOneByte(stream, (value >> 24) | 0xC0);
        WriteOneByte(stream, (value >> 16) & 0xFF);
        WriteOneByte(stream, (value >> 8) & 0xFF);
        WriteOneByte(stream, value & 0xFF);
    }
}

uint32_t ReadCounter(IReadBridgeStream& stream) {
    const uint32_t b0 = ReadU8(stream);
    if ((b0 & 0x80) == 0) {
        return b0;
    }
    if ((b0 & 0xC0) == 0x80) {
        return ((b0 & 0x3F) << 8) | ReadU8(stream);
    }
    if ((b0 & 0xE0) == 0xC0) {
        BYTE rest[3];
        stream.Read(rest, sizeof(rest));
        return ((b0 & 0x1F) << 24) | (static_cast<uint32_t>(rest[0]) << 16) |
               (static_cast<uint32_t>(rest[1]) << 8) | rest[2];
    }
    throw std::runtime_error("Invalid counter encoding");
}

void WriteString(IWriteBridgeStream& stream, std::string_view text) {
    CheckCounterLength(text.size());
    WriteCounter(stream, static_cast<uint32_t>(text.size()));
    if (!text.empty()) {
        stream.Write(text.data(), text.size());
    }
}

void WriteString(IWriteBridgeStream& stream, const char* text) {
    WriteString(stream, text != nullptr ? std::string_view(text) : std::string_view());
}

void WriteString(IWriteBridgeStream& stream, std::u16string_view text) {
    char buffer[EncodeBufferSize];
    // Leading units below 0x80 (all of a usual identifier) are copied while they are scanned, so
    // such text is read once.
    const size_t prefixLimit = std::min(text.size(), EncodeBufferSize);
    size_t prefix = 0;
    // Four units at a time while none has a bit above the low seven set.
    while (prefix + 4 <= prefixLimit) {
        uint64_t units;
        std::memcpy(&units, text.data() + prefix, sizeof(units));
        if ((units & 0xFF80FF80FF80FF80ull) != 0) {
            break;
        }
        for (size_t i = 0; i < 4; ++i) {
            buffer[prefix + i] = static_cast<char>(text[prefix + i]);
        }
        prefix += 4;
    }
    while (prefix < prefixLimit && text[prefix] < 0x80) {
        buffer[prefix] = static_cast<char>(text[prefix]);
        ++prefix;
    }
    const size_t length = prefix + Utf8Length(text.data() + prefix, text.size() - prefix);
    CheckCounterLength(length);
    WriteCounter(stream, static_cast<uint32_t>(length));

    size_t used = prefix;
    for (size_t i = prefix; i < text.size(); ++i) {
        if (used > EncodeBufferSize - 3) {
            stream.Write(buffer, used);
            used = 0;
        }
        used += EncodeUtf8Unit(text[i], buffer + used);
    }
    if (used > 0) {
        stream.Write(buffer, used);
    }
}

void WriteString(IWriteBridgeStream& stream, const WCHAR* text) {
    WriteString(stream, text != nullptr ? std::u16string_view(text) : std::u16string_view());
}

std::string ReadString(IReadBridgeStream& stream) {
    const size_t length = ReadCounter(stream);
    std::string text;
    if (length <= ReadStringChunk) {
        text.resize(length);
        if (length > 0) {
            stream.Read(text.data(), length);
        }
        return text;
    }
    while (text.size() < length) {
        const size_t done = text.size();
        const size_t piece = std::min(length - done, std::max(done, ReadStringChunk));
        text.resize(done + piece);
        stream.Read(text.data() + done, piece);
    }
    return text;
}

WString ReadWideString(IReadBridgeStream& stream) {
    return FromOutsideUtf8(ReadString(stream));
}
