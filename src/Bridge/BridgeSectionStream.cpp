#include "Bridge/BridgeSectionStream.h"

#include <limits>
#include <stdexcept>

BridgeSectionStream::BridgeSectionStream(IBridgeControl* pControl, WORD handle)
    : m_pControl(pControl), m_Handle(handle) {}

void BridgeSectionStream::Write(const void* data, size_t count) {
    if (count != 0) {
        m_pControl->SnapShotBridgeWrite(m_Handle, count, data);
    }
}

int32_t BridgeSectionStream::Tell() {
    const int64_t position = m_pControl->SnapShotBridgeTell(m_Handle);
    if (position < std::numeric_limits<int32_t>::min() ||
        position > std::numeric_limits<int32_t>::max()) {
        throw std::runtime_error("Too large section position");
    }
    return static_cast<int32_t>(position);
}

void BridgeSectionStream::Seek(int32_t origin, int32_t offset) {
    m_pControl->SnapShotBridgeSeek(m_Handle, static_cast<DWORD>(origin),
                                   static_cast<int64_t>(offset));
}
