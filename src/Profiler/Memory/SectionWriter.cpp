#include "Profiler/Memory/SectionWriter.h"

#include <stdexcept>

namespace {

constexpr size_t SectionBufferSize = 64 * 1024;

}  // namespace

BufferedWriteStream& SectionWriter::Open() {
    if (m_pStorage == nullptr) {
        throw std::runtime_error("No snapshot assigned");
    }
    OnBegin();
    IWriteSeekBridgeStream* pSection = m_pStorage->CreateSection();
    auto pBuffer = std::make_unique<BufferedWriteStream>(*pSection, SectionBufferSize);
    m_pSection = pSection;
    m_pBuffer = std::move(pBuffer);
    OnCreated(*m_pBuffer);
    return *m_pBuffer;
}

void SectionWriter::Close() {
    if (m_pSection == nullptr) {
        return;
    }
    IWriteSeekBridgeStream* pSection = m_pSection;
    m_pBuffer->Flush();
    m_pBuffer.reset();
    m_pSection = nullptr;
    if (IsCounted()) {
        pSection->Seek(ISeekBridgeStream::SeekBegin, 0);
        OnCreated(*pSection);
    }
    m_pStorage->CloseSection(pSection, m_Type, m_Version);
}

void SectionWriter::Reset() {
    m_pBuffer.reset();
    m_pSection = nullptr;
    m_pStorage = nullptr;
}
