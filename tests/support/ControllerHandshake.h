// The controller's side of the bridge handshake, played by a test over a BridgeLine: what the
// profiler announced, and the answers the test sends back (the settings message is
// TestClientInfo's: a u32 and a bool).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Bridge/IBridgeStream.h"
#include "Platform/Types.h"

struct HandshakeAnswers {
    bool m_VersionAccepted = true;
    bool m_ConnectionAccepted = true;
    BYTE m_SnapshotType = 1;
    BYTE m_ControlKind = 0;
    std::vector<std::pair<WString, bool>> m_Flags;
    std::string m_ControllerText;
    DWORD m_SettingsValue = 0x01020304;
    bool m_SettingsFlag = true;
    bool m_Run = true;
};

struct HandshakeHello {
    GUID m_Protocol = {};
    GUID m_Client = {};
    GUID m_Process = {};
    WString m_LogPath;
    DWORD m_ProcessId = 0;
    WString m_CommandLine;
    std::vector<WString> m_Environment;
};

// Reads the profiler's messages and sends the answers, in the handshake's order; stops after the
// first refusal it sends.
HandshakeHello PlayControllerHandshake(IBridgeStream& controller, const HandshakeAnswers& answers);
