#include "Bridge/FileSectionStream.h"

#include <limits>
#include <stdexcept>

int32_t FileSectionStream::Tell() {
    const int64_t position = TellFile() - m_StartOffset;
    if (position < std::numeric_limits<int32_t>::min() ||
        position > std::numeric_limits<int32_t>::max()) {
        throw std::runtime_error("Can't get file position");
    }
    return static_cast<int32_t>(position);
}

void FileSectionStream::Seek(int32_t origin, int32_t offset) {
    CheckOpen();
    int64_t base = 0;
    switch (origin) {
        case SeekBegin:
            base = m_StartOffset;
            break;
        case SeekCurrent:
            base = TellFile();
            break;
        case SeekEnd:
            base = Length();
            break;
        default:
            throw std::runtime_error("Invalid origin");
    }
    const int64_t target = base + offset;
    if (target < m_StartOffset) {
        throw std::runtime_error("Invalid offset");
    }
    SeekFile(SeekBegin, target);
}

int64_t FileSectionStream::MeasureGrowth() {
    SeekFile(SeekEnd, 0);
    const int64_t end = TellFile();
    const int64_t growth = end - m_StartOffset;
    m_StartOffset = end;
    return growth;
}
