// A readable, writable and seekable stream over a growable byte buffer in memory: the controller
// side of the bridge and tests build and parse messages with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Bridge/IReadWriteBridgeStream.h"
#include "Platform/Types.h"

class MemoryBridgeStream : public IReadWriteBridgeStream {
public:
    MemoryBridgeStream() = default;
    // Starts with these bytes as content, positioned at the beginning (for reading them back).
    MemoryBridgeStream(const void* data, size_t count);
    explicit MemoryBridgeStream(const std::vector<BYTE>& content);
    ~MemoryBridgeStream() override = default;

    MemoryBridgeStream(const MemoryBridgeStream&) = delete;
    MemoryBridgeStream& operator=(const MemoryBridgeStream&) = delete;

    // Writes at the position, overwriting or extending the content; a gap left by a seek past
    // the end reads as zero bytes. Content is limited to the 32-bit position range.
    void Write(const void* data, size_t count) override;
    // Fails with "Can't read data" when fewer than `count` bytes remain; the position then stays.
    void Read(void* buffer, size_t count) override;
    int32_t Tell() override;
    // Origins 0, 1, 2; another origin raises "Invalid origin", a target before the beginning or
    // beyond the 32-bit range raises "Invalid offset". Seeking past the end is allowed.
    void Seek(int32_t origin, int32_t offset) override;

    const BYTE* GetData() const { return m_pData.get(); }
    size_t GetSize() const { return m_Size; }
    size_t GetRemaining() const { return m_Position < m_Size ? m_Size - m_Position : 0; }
    // A copy of the content.
    std::vector<BYTE> GetContent() const {
        return std::vector<BYTE>(GetData(), GetData() + m_Size);
    }
    // Empties the content and rewinds; the buffer is kept for reuse.
    void Clear();

private:
    void Reserve(size_t capacity);
    // The general write, kept out of Write so that the one-byte append stays a leaf.
    void WriteAnywhere(const void* data, size_t count);

    // A plain buffer rather than a vector: growing must not zero-fill, and appending one byte
    // must cost a compare and a store.
    std::unique_ptr<BYTE[]> m_pData;
    size_t m_Capacity = 0;
    size_t m_Size = 0;
    size_t m_Position = 0;
};
