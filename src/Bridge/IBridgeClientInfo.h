// What the bridge knows of the profiler kind: its identity, the settings message the controller
// sends it during the handshake, and the command processor it works with. One implementation per
// profiler kind, embedded in the profiler object.
#pragma once

#include <memory>

#include "Bridge/IReadBridgeStream.h"
#include "Platform/Types.h"

class BaseBridge;
class CommandProcessor;
class IBridgeEvent;

class IBridgeClientInfo {
public:
    virtual ~IBridgeClientInfo() = default;

    virtual const GUID* GetClientGuid() = 0;
    // Null when no processor can be made; the handshake then fails.
    virtual std::unique_ptr<CommandProcessor> CreateCommandProcessor(BaseBridge* pBridge,
                                                                     IBridgeEvent* pEvent,
                                                                     DWORD controlKind,
                                                                     DWORD snapshotType) = 0;
    // Reads the kind's settings message from the handshake.
    virtual void ReadSettings(IReadBridgeStream& stream) = 0;
};
