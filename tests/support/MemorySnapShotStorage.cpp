#include "support/MemorySnapShotStorage.h"

#include <algorithm>
#include <stdexcept>

IWriteSeekBridgeStream* MemorySnapShotStorage::CreateSection() {
    m_Open.push_back(std::make_unique<MemoryBridgeStream>());
    return &m_Open.back()->AsWriteSeek();
}

void MemorySnapShotStorage::CloseSection(IWriteSeekBridgeStream* pSection, WORD type,
                                         WORD version) {
    auto found = std::find_if(m_Open.begin(), m_Open.end(), [&](const auto& pStream) {
        return &pStream->AsWriteSeek() == pSection;
    });
    if (found == m_Open.end()) {
        throw std::logic_error("closed a section this storage did not hand out");
    }
    m_Closed.push_back(Section{type, version, (*found)->GetContent()});
    m_Open.erase(found);
}
