#include "Bridge/MemoryBridgeStream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// Positions must stay representable by Tell.
constexpr size_t MaxPosition = static_cast<size_t>(std::numeric_limits<int32_t>::max());

constexpr size_t MinCapacity = 256;

}  // namespace

MemoryBridgeStream::MemoryBridgeStream(const void* data, size_t count) {
    Write(data, count);
    m_Position = 0;
}

MemoryBridgeStream::MemoryBridgeStream(const std::vector<BYTE>& content)
    : MemoryBridgeStream(content.data(), content.size()) {}

void MemoryBridgeStream::Reserve(size_t capacity) {
    if (capacity <= m_Capacity) {
        return;
    }
    // Doubling keeps appends amortised constant; the cap keeps every position a valid Tell.
    size_t grown = std::max({capacity, MinCapacity, std::min(m_Capacity * 2, MaxPosition)});
    std::unique_ptr<BYTE[]> pData(new BYTE[grown]);
    if (m_Size > 0) {
        std::memcpy(pData.get(), m_pData.get(), m_Size);
    }
    m_pData = std::move(pData);
    m_Capacity = grown;
}

void MemoryBridgeStream::Write(const void* data, size_t count) {
    // Counters arrive as one-byte writes at the end: keep that path short.
    if (count == 1 && m_Position == m_Size && m_Size < m_Capacity) {
        m_pData[m_Size++] = *static_cast<const BYTE*>(data);
        m_Position = m_Size;
        return;
    }
    WriteAnywhere(data, count);
}

void MemoryBridgeStream::WriteAnywhere(const void* data, size_t count) {
    if (count == 0) {
        return;
    }
    if (m_Position > MaxPosition || count > MaxPosition - m_Position) {
        throw std::runtime_error("Can't write data");
    }
    const size_t end = m_Position + count;
    Reserve(end);
    if (m_Position > m_Size) {
        std::memset(m_pData.get() + m_Size, 0, m_Position - m_Size);
    }
    std::memcpy(m_pData.get() + m_Position, data, count);
    m_Position = end;
    m_Size = std::max(m_Size, end);
}

void MemoryBridgeStream::Read(void* buffer, size_t count) {
    if (count > GetRemaining()) {
        throw std::runtime_error("Can't read data");
    }
    if (count > 0) {
        std::memcpy(buffer, m_pData.get() + m_Position, count);
        m_Position += count;
    }
}

int32_t MemoryBridgeStream::Tell() {
    return static_cast<int32_t>(m_Position);
}

void MemoryBridgeStream::Seek(int32_t origin, int32_t offset) {
    int64_t base = 0;
    switch (origin) {
        case SeekBegin:
            base = 0;
            break;
        case SeekCurrent:
            base = static_cast<int64_t>(m_Position);
            break;
        case SeekEnd:
            base = static_cast<int64_t>(m_Size);
            break;
        default:
            throw std::runtime_error("Invalid origin");
    }
    const int64_t target = base + offset;
    if (target < 0 || target > static_cast<int64_t>(MaxPosition)) {
        throw std::runtime_error("Invalid offset");
    }
    m_Position = static_cast<size_t>(target);
}

void MemoryBridgeStream::Clear() {
    m_Size = 0;
    m_Position = 0;
}
