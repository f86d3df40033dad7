// A heap section whose header also carries its record count, rewritten when the section closes.
#pragma once

#include "Profiler/Memory/PointerSizeSectionWriter.h"

class CountedSectionWriter : public PointerSizeSectionWriter {
public:
    using PointerSizeSectionWriter::PointerSizeSectionWriter;

    bool IsCounted() const override { return true; }
    void Count(DWORD records = 1) { m_Count += records; }
    DWORD GetCount() const { return m_Count; }

protected:
    void OnBegin() override { m_Count = 0; }
    void OnCreated(IWriteBridgeStream& stream) override {
        PointerSizeSectionWriter::OnCreated(stream);
        WriteU32(stream, m_Count);
    }

private:
    DWORD m_Count = 0;
};
