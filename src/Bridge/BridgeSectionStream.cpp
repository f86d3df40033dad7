#include "Bridge/BridgeSectionStream.h"

#include <cstring>
#include <limits>
#include <stdexcept>

BridgeSectionStream::BridgeSectionStream(IBridgeControl* pControl, WORD handle)
    : m_pControl(pControl), m_Handle(handle), m_pBuffer(new BYTE[BufferSize]) {}

void BridgeSectionStream::Write(const void* data, size_t count) {
    if (count == 0) {
        return;
    }
    if (count > BufferSize - m_Used) {
        Flush();
    }
    if (count >= BufferSize) {
        // Copying would only cut a large write into buffer-sized pieces: send it as it is.
        m_pControl->SnapShotBridgeWrite(m_Handle, count, data);
        return;
    }
    std::memcpy(m_pBuffer.get() + m_Used, data, count);
    m_Used += count;
}

void BridgeSectionStream::Flush() {
    if (m_Used == 0) {
        return;
    }
    // Emptied first: after a failed send the bytes are gone with the snapshot, and a retry must
    // not send them twice.
    const size_t count = m_Used;
    m_Used = 0;
    m_pControl->SnapShotBridgeWrite(m_Handle, count, m_pBuffer.get());
}

int32_t BridgeSectionStream::Tell() {
    Flush();
    const int64_t position = m_pControl->SnapShotBridgeTell(m_Handle);
    if (position < std::numeric_limits<int32_t>::min() ||
        position > std::numeric_limits<int32_t>::max()) {
        throw std::runtime_error("Too large section position");
    }
    return static_cast<int32_t>(position);
}

void BridgeSectionStream::Seek(int32_t origin, int32_t offset) {
    Flush();
    m_pControl->SnapShotBridgeSeek(m_Handle, static_cast<DWORD>(origin),
                                   static_cast<int64_t>(offset));
}
