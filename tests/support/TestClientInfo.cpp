#include "support/TestClientInfo.h"

#include "Bridge/BaseBridge.h"
#include "Bridge/BridgeStreamHelpers.h"

std::unique_ptr<CommandProcessor> TestClientInfo::CreateCommandProcessor(BaseBridge* pBridge,
                                                                         IBridgeEvent* pEvent,
                                                                         DWORD controlKind,
                                                                         DWORD snapshotType) {
    m_pEvent = pEvent;
    m_ControlKind = controlKind;
    m_SnapshotType = snapshotType;
    if (m_RefuseProcessor) {
        return nullptr;
    }
    auto pProcessor = std::make_unique<TestCommandProcessor>(pBridge, controlKind, snapshotType);
    pProcessor->m_TakeKindCommands = m_TakeKindCommands;
    m_pProcessor = pProcessor.get();
    return pProcessor;
}

void TestClientInfo::ReadSettings(IReadBridgeStream& stream) {
    if (m_AsMemoryKind) {
        m_SettingsFlag = ReadBool(stream);
        m_SettingsValue = ReadU32(stream);
        ReadBool(stream);
        ReadBool(stream);
        ReadBool(stream);
    } else {
        m_SettingsValue = ReadU32(stream);
        m_SettingsFlag = ReadBool(stream);
    }
    m_SettingsRead = true;
}
