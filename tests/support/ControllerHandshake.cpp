#include "support/ControllerHandshake.h"

#include "Bridge/BridgeStreamHelpers.h"

HandshakeHello PlayControllerHandshake(IBridgeStream& controller, const HandshakeAnswers& answers) {
    HandshakeHello hello;
    hello.m_Protocol = ReadGuid(controller);
    WriteBool(controller, answers.m_VersionAccepted);
    if (!answers.m_VersionAccepted) {
        return hello;
    }
    hello.m_Client = ReadGuid(controller);
    hello.m_Process = ReadGuid(controller);
    hello.m_LogPath = ReadWideString(controller);
    hello.m_ProcessId = ReadU32(controller);
    hello.m_CommandLine = ReadWideString(controller);
    const WORD environmentCount = ReadU16(controller);
    for (WORD i = 0; i < environmentCount; ++i) {
        hello.m_Environment.push_back(ReadWideString(controller));
    }

    WriteBool(controller, answers.m_ConnectionAccepted);
    if (!answers.m_ConnectionAccepted) {
        return hello;
    }
    WriteU8(controller, answers.m_SnapshotType);
    WriteU8(controller, answers.m_ControlKind);
    WriteSizeTAsUInt8(controller, answers.m_Flags.size());
    for (const auto& [name, value] : answers.m_Flags) {
        WriteString(controller, std::u16string_view(name));
        WriteBool(controller, value);
    }
    WriteString(controller, std::string_view(answers.m_ControllerText));
    WriteU32(controller, answers.m_SettingsValue);
    WriteBool(controller, answers.m_SettingsFlag);
    WriteBool(controller, answers.m_Run);
    return hello;
}
