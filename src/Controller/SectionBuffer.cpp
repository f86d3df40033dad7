#include "Controller/SectionBuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "Controller/LargeBytes.h"

namespace Controller {

SectionBuffer::SectionBuffer(int64_t maxSize) : m_MaxSize(maxSize) {}

void SectionBuffer::RequireRoom(size_t count) const {
    // m_Position <= m_MaxSize holds, so the subtraction cannot overflow.
    if (static_cast<uint64_t>(count) > static_cast<uint64_t>(m_MaxSize - m_Position)) {
        throw std::runtime_error("a write of " + std::to_string(count) + " bytes at position " +
                                 std::to_string(m_Position) + " would grow a section beyond " +
                                 std::to_string(m_MaxSize) + " bytes");
    }
}

BYTE* SectionBuffer::PrepareWrite(size_t count) {
    RequireRoom(count);
    const size_t end = static_cast<size_t>(m_Position) + count;
    if (end > m_Bytes.size()) {
        try {
            // Value-initialised: a gap reads as zeros.
            ResizeBytes(m_Bytes, end, static_cast<size_t>(std::min<uint64_t>(m_MaxSize, SIZE_MAX)));
        } catch (const std::bad_alloc&) {
            throw std::runtime_error("not enough memory for a section of " + std::to_string(end) +
                                     " bytes");
        }
    }
    BYTE* pTarget = m_Bytes.data() + m_Position;
    m_Position = static_cast<int64_t>(end);
    return pTarget;
}

void SectionBuffer::Write(const void* data, size_t count) {
    BYTE* pTarget = PrepareWrite(count);
    if (count > 0) {
        std::memcpy(pTarget, data, count);
    }
}

void SectionBuffer::Seek(uint32_t origin, int64_t offset) {
    int64_t base;
    switch (origin) {
    case 0:
        base = 0;
        break;
    case 1:
        base = m_Position;
        break;
    case 2:
        base = static_cast<int64_t>(m_Bytes.size());
        break;
    default:
        throw std::runtime_error("a seek with the unknown origin " + std::to_string(origin));
    }
    // base lies in [0, m_MaxSize], so these comparisons cannot overflow.
    if (offset < -base || offset > m_MaxSize - base) {
        throw std::runtime_error("a seek to offset " + std::to_string(offset) + " from origin " +
                                 std::to_string(origin) + " leaves the section (0 to " +
                                 std::to_string(m_MaxSize) + " bytes)");
    }
    m_Position = base + offset;
}

}  // namespace Controller
