// The bytes of one section while the profiler writes it over the bridge: a growable buffer with a
// position. Positions come from the wire, so every move is checked against a size limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/Types.h"

namespace Controller {

class SectionBuffer {
public:
    explicit SectionBuffer(int64_t maxSize);

    // Raises when `count` bytes written at the position would grow the section beyond the limit.
    void RequireRoom(size_t count) const;
    // Makes room for `count` bytes at the position, advances the position past them and returns
    // where they go. Bytes between the old end and the position (left by a seek past the end) are
    // zero. Raises as RequireRoom does.
    BYTE* PrepareWrite(size_t count);
    void Write(const void* data, size_t count);

    int64_t Tell() const { return m_Position; }
    // Origins 0 begin, 1 current, 2 end. A target before the beginning or beyond the limit, or
    // another origin, raises. Seeking past the end does not grow the section by itself.
    void Seek(uint32_t origin, int64_t offset);

    size_t GetSize() const { return m_Bytes.size(); }
    std::vector<BYTE> TakeBytes() { return std::move(m_Bytes); }

private:
    const int64_t m_MaxSize;
    std::vector<BYTE> m_Bytes;
    int64_t m_Position = 0;
};

}  // namespace Controller
