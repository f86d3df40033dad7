// The test kinds' identity on the bridge: they present themselves as a performance client, read
// the performance settings message (and only log it), and work with a measure command processor.
#pragma once

#include <memory>

#include "Bridge/IBridgeClientInfo.h"
#include "Platform/Types.h"

class TestProfilerClientInfo : public IBridgeClientInfo {
public:
    // {D65C00BF-B0D3-48FF-8D91-F4BEC378DBB9}
    static constexpr GUID ClientGuid = {
        0xD65C00BF, 0xB0D3, 0x48FF, {0x8D, 0x91, 0xF4, 0xBE, 0xC3, 0x78, 0xDB, 0xB9}};

    const GUID* GetClientGuid() override { return &ClientGuid; }
    // pEvent must be the kind's IMeasureBridgeEvent.
    std::unique_ptr<CommandProcessor> CreateCommandProcessor(BaseBridge* pBridge,
                                                             IBridgeEvent* pEvent,
                                                             DWORD controlKind,
                                                             DWORD snapshotType) override;
    // Raises when the message is cut short; logs "TProf::ReadSettings ..." with what it read.
    void ReadSettings(IReadBridgeStream& stream) override;

    // The counts of the two filter record lists last read.
    DWORD GetIncludeFilterCount() const { return m_IncludeFilters; }
    DWORD GetExcludeFilterCount() const { return m_ExcludeFilters; }

private:
    DWORD m_IncludeFilters = 0;
    DWORD m_ExcludeFilters = 0;
};
