#include "Controller/SpanReadStream.h"

#include <cstring>
#include <stdexcept>

namespace Controller {

SpanReadStream::SpanReadStream(const BYTE* pData, size_t size, std::string truncatedMessage)
    : m_pData(pData), m_Size(size), m_TruncatedMessage(std::move(truncatedMessage)) {}

void SpanReadStream::Read(void* buffer, size_t count) {
    if (count > GetRemaining()) {
        throw std::runtime_error(m_TruncatedMessage);
    }
    if (count > 0) {
        std::memcpy(buffer, m_pData + m_Position, count);
    }
    m_Position += count;
}

}  // namespace Controller
