#include "Controller/SectionCursor.h"

#include <cstdio>
#include <cstring>

#include "Bridge/BridgeStreamHelpers.h"

namespace Controller {

namespace {

std::string Hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

SectionCursor::SectionCursor(const BYTE* pData, size_t size, uint16_t type)
    : m_pData(pData), m_Size(size), m_Type(type) {}

void SectionCursor::Read(void* buffer, size_t count) {
    if (count > GetRemaining()) {
        Fail("cut short: " + std::to_string(count) + " bytes needed, " +
             std::to_string(GetRemaining()) + " left");
    }
    if (count > 0) {
        std::memcpy(buffer, m_pData + m_Position, count);
    }
    m_Position += count;
}

void SectionCursor::Seek(uint64_t position) {
    if (position > m_Size) {
        Fail("position " + std::to_string(position) + " lies beyond the section's end at " +
             std::to_string(m_Size));
    }
    m_Position = position;
}

uint8_t SectionCursor::ReadU8() {
    return ::ReadU8(*this);
}

uint16_t SectionCursor::ReadU16() {
    return ::ReadU16(*this);
}

uint32_t SectionCursor::ReadU32() {
    return ::ReadU32(*this);
}

uint64_t SectionCursor::ReadU64() {
    return ::ReadU64(*this);
}

uint64_t SectionCursor::ReadUnsigned(uint8_t width) {
    BYTE bytes[8] = {};
    if (width < 1 || width > sizeof(bytes)) {
        Fail("field width " + std::to_string(width) + " outside 1 to 8");
    }
    Read(bytes, width);
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

int64_t SectionCursor::ReadPosition(uint8_t width) {
    const uint64_t start = m_Position;
    const uint64_t value = ReadUnsigned(width);
    const uint64_t allOnes = width == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * width)) - 1;
    if (value == allOnes) {
        return NoPosition;
    }
    if ((value >> (8 * width - 1)) != 0) {
        FailAt(start, "position field holds the negative value " + Hex(value, 2 * width));
    }
    return static_cast<int64_t>(value);
}

std::string SectionCursor::ReadString() {
    const uint64_t start = m_Position;
    uint32_t length = 0;
    try {
        length = ReadCounter(*this);
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        FailAt(start, e.what());
    }
    if (length > GetRemaining()) {
        FailAt(start, "string of " + std::to_string(length) + " bytes runs past the end (" +
                          std::to_string(GetRemaining()) + " left)");
    }
    std::string text(reinterpret_cast<const char*>(m_pData + m_Position), length);
    m_Position += length;
    return text;
}

uint8_t SectionCursor::ReadWidth(const char* what, uint8_t low, uint8_t high) {
    const uint64_t start = m_Position;
    const uint8_t width = ReadU8();
    if (width < low || width > high) {
        FailAt(start, std::string(what) + " " + std::to_string(width) + " outside " +
                          std::to_string(low) + " to " + std::to_string(high));
    }
    return width;
}

void SectionCursor::FailAt(uint64_t position, const std::string& what) const {
    throw Error("Section " + Hex(m_Type, 4) + " at byte " + std::to_string(position) + ": " + what);
}

}  // namespace Controller
