// Reads the fields of one snapshot section held in memory, for layouts whose integers have widths
// chosen per section (1 to 8 bytes) and whose records point at each other by byte position. Every
// failure raises SectionCursor::Error with a text that names the section and the byte position:
// "Section 0x1100 at byte 57: <what>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bridge/IReadBridgeStream.h"
#include "Controller/SectionBytes.h"
#include "Platform/Types.h"

namespace Controller {

class SectionCursor final : public IReadBridgeStream {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Position -1 in a position field: no value.
    static constexpr int64_t NoPosition = -1;

    // The bytes must outlive the cursor.
    SectionCursor(const BYTE* pData, size_t size, uint16_t type);
    SectionCursor(const std::vector<BYTE>& bytes, uint16_t type)
        : SectionCursor(bytes.data(), bytes.size(), type) {}
    SectionCursor(const SectionBytes& bytes, uint16_t type)
        : SectionCursor(bytes.data(), bytes.size(), type) {}

    // Raises when fewer than `count` bytes are left.
    void Read(void* buffer, size_t count) override;

    uint64_t GetPosition() const { return m_Position; }
    uint64_t GetSize() const { return m_Size; }
    uint64_t GetRemaining() const { return m_Size - m_Position; }
    // Positions beyond the end are refused.
    void Seek(uint64_t position);

    uint8_t ReadU8();
    uint16_t ReadU16();
    uint32_t ReadU32();
    uint64_t ReadU64();
    // Little-endian, `width` 1 to 8 bytes.
    uint64_t ReadUnsigned(uint8_t width);
    // A byte offset or position of `width` bytes: NoPosition when every byte is 0xFF; any other
    // value with the top bit set is refused, so the result is NoPosition or at least 0.
    int64_t ReadPosition(uint8_t width);
    // Counter length, then the bytes as they travelled (see DecodeWireText).
    std::string ReadString();
    // A width byte that must lie in [low, high]; `what` names it ("index width").
    uint8_t ReadWidth(const char* what, uint8_t low, uint8_t high);

    // "Section 0x1100 at byte <position>: <what>".
    [[noreturn]] void Fail(const std::string& what) const { FailAt(m_Position, what); }
    [[noreturn]] void FailAt(uint64_t position, const std::string& what) const;

private:
    const BYTE* m_pData;
    uint64_t m_Size;
    uint64_t m_Position = 0;
    uint16_t m_Type;
};

}  // namespace Controller
