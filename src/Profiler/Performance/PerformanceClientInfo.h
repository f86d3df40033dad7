// The performance kinds' identity on the bridge: the client GUID, the settings message the
// controller sends them during the handshake, and the measure command processor they work with.
// Embedded in the profiler; the settings are written once, on the bridge's worker thread, while
// the profiler's thread waits in Connect, and only read afterwards.
#pragma once

#include <memory>

#include "Bridge/IBridgeClientInfo.h"
#include "Platform/Types.h"
#include "Profiler/Performance/PerformanceSettings.h"

class PerformanceClientInfo : public IBridgeClientInfo {
public:
    // {D65C00BF-B0D3-48FF-8D91-F4BEC378DBB9}
    static constexpr GUID ClientGuid = {
        0xD65C00BF, 0xB0D3, 0x48FF, {0x8D, 0x91, 0xF4, 0xBE, 0xC3, 0x78, 0xDB, 0xB9}};

    const GUID* GetClientGuid() override { return &ClientGuid; }
    // A measure command processor; null when pEvent is not an IMeasureBridgeEvent.
    std::unique_ptr<CommandProcessor> CreateCommandProcessor(BaseBridge* pBridge,
                                                             IBridgeEvent* pEvent,
                                                             DWORD controlKind,
                                                             DWORD snapshotType) override;
    // Reads the whole message into the settings; raises when it is cut short.
    void ReadSettings(IReadBridgeStream& stream) override;

    const PerformanceSettings& GetSettings() const { return m_Settings; }

private:
    PerformanceSettings m_Settings;
};
