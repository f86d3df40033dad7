#include "Bridge/BufferedWriteStream.h"

#include <stdexcept>

BufferedWriteStream::BufferedWriteStream(IWriteBridgeStream& target, size_t capacity)
    : m_Target(target), m_pBuffer(new BYTE[capacity]), m_Capacity(capacity) {}

void BufferedWriteStream::Flush() {
    if (m_Used == 0) {
        return;
    }
    m_Target.Write(m_pBuffer.get(), m_Used);
    m_Passed += m_Used;
    m_Used = 0;
}

void BufferedWriteStream::WriteThrough(const void* data, size_t count) {
    Flush();
    if (count < m_Capacity) {
        std::memcpy(m_pBuffer.get(), data, count);
        m_Used = count;
        return;
    }
    m_Target.Write(data, count);
    m_Passed += count;
}

void BufferedWriteStream::MakeRoom(size_t count) {
    Flush();
    if (count > m_Capacity) {
        throw std::length_error("BufferedWriteStream::Reserve() count beyond the capacity");
    }
}
