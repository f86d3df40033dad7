// The memory kind's identity on the bridge: its client GUID, the memory command processor it works
// with, and the settings message the controller sends it in the handshake (bool, u32, bool, bool,
// bool), kept here for the profiler to read.
#pragma once

#include <memory>

#include "Bridge/IBridgeClientInfo.h"
#include "Platform/Types.h"

class MemoryClientInfo : public IBridgeClientInfo {
public:
    // {F19A68A9-CA9B-4A2E-80C6-8E21F080EAFF}
    static constexpr GUID ClientGuid = {
        0xF19A68A9, 0xCA9B, 0x4A2E, {0x80, 0xC6, 0x8E, 0x21, 0xF0, 0x80, 0xEA, 0xFF}};

    const GUID* GetClientGuid() override { return &ClientGuid; }
    // pEvent must be the kind's IMemoryBridgeEvent; null otherwise.
    std::unique_ptr<CommandProcessor> CreateCommandProcessor(BaseBridge* pBridge,
                                                             IBridgeEvent* pEvent,
                                                             DWORD controlKind,
                                                             DWORD snapshotType) override;
    // Raises when the message is cut short.
    void ReadSettings(IReadBridgeStream& stream) override;

    // Open a snapshot at the end of initialisation (manual control only).
    bool IsSnapshotAtStart() const { return m_SnapshotAtStart; }
    // Every n-th allocation is recorded with its stack; 0 records none.
    DWORD GetAllocationsFactor() const { return m_AllocationsFactor; }
    // Objects queued for finalisation are recorded.
    bool IsTrackingFinalizers() const { return m_TrackFinalizers; }

private:
    // Written once by the handshake on the bridge's worker thread before Connect returns; read
    // afterwards by runtime threads.
    bool m_SnapshotAtStart = false;
    DWORD m_AllocationsFactor = 0;
    bool m_Flag3 = false;  // stored, not used by this kind
    bool m_TrackFinalizers = false;
    bool m_Flag5 = false;  // stored, not used by this kind
};
