// A counted heap section whose header also carries the lowest and highest object id written, so
// that a reader can check every id against the range.
#pragma once

#include "Profiler/Memory/CountedSectionWriter.h"

class RangeCountedSectionWriter : public CountedSectionWriter {
public:
    using CountedSectionWriter::CountedSectionWriter;

    // Widens the range to the id; 0 in a bound means none yet.
    void Include(UINT_PTR objectId) {
        if (m_Lowest == 0 || objectId < m_Lowest) {
            m_Lowest = objectId;
        }
        if (m_Highest == 0 || objectId > m_Highest) {
            m_Highest = objectId;
        }
    }

protected:
    void OnBegin() override {
        CountedSectionWriter::OnBegin();
        m_Lowest = 0;
        m_Highest = 0;
    }
    void OnCreated(IWriteBridgeStream& stream) override {
        CountedSectionWriter::OnCreated(stream);
        WriteId(stream, m_Lowest);
        WriteId(stream, m_Highest);
    }

private:
    UINT_PTR m_Lowest = 0;
    UINT_PTR m_Highest = 0;
};
