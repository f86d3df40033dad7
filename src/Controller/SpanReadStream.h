// A read stream over bytes that someone else owns, for parsing files held in memory. Reading past
// the end raises with a text the caller chooses, so a parser can say which part is cut short.
#pragma once

#include <cstddef>
#include <string>

#include "Bridge/IReadBridgeStream.h"
#include "Platform/Types.h"

namespace Controller {

class SpanReadStream final : public IReadBridgeStream {
public:
    SpanReadStream(const BYTE* pData, size_t size, std::string truncatedMessage);

    void Read(void* buffer, size_t count) override;

    size_t GetPosition() const { return m_Position; }
    size_t GetRemaining() const { return m_Size - m_Position; }

private:
    const BYTE* m_pData;
    size_t m_Size;
    size_t m_Position = 0;
    std::string m_TruncatedMessage;
};

}  // namespace Controller
