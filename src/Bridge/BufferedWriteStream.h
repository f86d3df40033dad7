// Gathers small writes in a buffer and passes them on in large pieces, counting every byte that
// went through. Section writers that emit a record field by field then cost the target one write
// per buffer, not one per field. Nothing is passed on at destruction: a writer that fails halfway
// abandons what is buffered, as it abandons the section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "Bridge/IWriteBridgeStream.h"
#include "Platform/Types.h"

class BufferedWriteStream final : public IWriteBridgeStream {
public:
    // `target` must outlive this stream.
    BufferedWriteStream(IWriteBridgeStream& target, size_t capacity);
    ~BufferedWriteStream() override = default;

    BufferedWriteStream(const BufferedWriteStream&) = delete;
    BufferedWriteStream& operator=(const BufferedWriteStream&) = delete;

    void Write(const void* data, size_t count) override {
        if (count <= m_Capacity - m_Used) {
            std::memcpy(m_pBuffer.get() + m_Used, data, count);
            m_Used += count;
            return;
        }
        WriteThrough(data, count);
    }

    // Room for `count` bytes (at most the capacity) at the end of the buffer, for a writer that
    // encodes in place; Commit then keeps what was encoded, up to `pEnd`.
    BYTE* Reserve(size_t count) {
        if (count > m_Capacity - m_Used) {
            MakeRoom(count);
        }
        return m_pBuffer.get() + m_Used;
    }
    void Commit(const BYTE* pEnd) noexcept { m_Used = static_cast<size_t>(pEnd - m_pBuffer.get()); }

    // Bytes written to this stream so far, passed on or not.
    uint64_t GetPosition() const noexcept { return m_Passed + m_Used; }
    // Passes the buffered bytes on.
    void Flush();

private:
    // Flushes, then buffers the bytes or, when they fill a buffer by themselves, passes them on
    // directly.
    void WriteThrough(const void* data, size_t count);
    // Flushes; refuses a count beyond the capacity.
    void MakeRoom(size_t count);

    IWriteBridgeStream& m_Target;
    std::unique_ptr<BYTE[]> m_pBuffer;
    size_t m_Capacity;
    size_t m_Used = 0;
    uint64_t m_Passed = 0;  // bytes already handed to the target
};
