// The client-info object of a test profiler kind. Its settings message is a u32 and a bool, or,
// for a test that talks to the real controller as a memory profiler, the memory kind's settings
// (bool, u32, bool, bool, bool: the u32 and the first bool are kept). It creates a
// TestCommandProcessor, or none when told to refuse.
#pragma once

#include <atomic>
#include <memory>

#include "Bridge/IBridgeClientInfo.h"
#include "support/TestCommandProcessor.h"

class TestClientInfo : public IBridgeClientInfo {
public:
    // {0B1C2D3E-4F50-4617-8293-A4B5C6D7E8F9}
    static constexpr GUID ClientGuid = {
        0x0B1C2D3E, 0x4F50, 0x4617, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
    // {F19A68A9-CA9B-4A2E-80C6-8E21F080EAFF}, the memory kind's.
    static constexpr GUID MemoryClientGuid = {
        0xF19A68A9, 0xCA9B, 0x4A2E, {0x80, 0xC6, 0x8E, 0x21, 0xF0, 0x80, 0xEA, 0xFF}};

    const GUID* GetClientGuid() override {
        return m_AsMemoryKind ? &MemoryClientGuid : &ClientGuid;
    }
    std::unique_ptr<CommandProcessor> CreateCommandProcessor(BaseBridge* pBridge,
                                                             IBridgeEvent* pEvent,
                                                             DWORD controlKind,
                                                             DWORD snapshotType) override;
    void ReadSettings(IReadBridgeStream& stream) override;

    bool m_RefuseProcessor = false;
    // Announce the memory kind and read its settings message.
    bool m_AsMemoryKind = false;
    // Handed to the processor: take the kinds' commands as handled.
    bool m_TakeKindCommands = false;

    // What the handshake delivered.
    DWORD m_SettingsValue = 0;
    bool m_SettingsFlag = false;
    bool m_SettingsRead = false;
    IBridgeEvent* m_pEvent = nullptr;
    DWORD m_ControlKind = 0xFFFFFFFF;
    DWORD m_SnapshotType = 0xFFFFFFFF;
    // The processor made last; owned by the bridge.
    std::atomic<TestCommandProcessor*> m_pProcessor{nullptr};
};
