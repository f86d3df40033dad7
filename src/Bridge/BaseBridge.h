// The protocol side of the connection to the controller: the handshake that runs once on the
// bridge's worker thread, the command processor it creates, the switching of command processing on
// and off, and the choice of snapshot storage. It knows the profiler only through the client-info
// object and the event sink that the profiler hands it. The transport (Read, Write, Connect) is the
// derived class's.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "Bridge/IBridgeClientInfo.h"
#include "Bridge/IBridgeControl.h"
#include "Bridge/IBridgeEvent.h"
#include "Bridge/IBridgeStream.h"
#include "Bridge/ISnapShotStorage.h"
#include "CommandProcessor/CommandProcessor.h"
#include "Platform/Types.h"

class BaseBridge : public IBridgeStream {
public:
    // Identifies the protocol in the first message of the handshake.
    static constexpr GUID ProtocolGuid = {
        0xE7A72A5E, 0x091C, 0x44AB, {0x90, 0x17, 0x29, 0x14, 0xA3, 0xE9, 0xCB, 0x0D}};

    // Control kinds and snapshot types chosen by the controller.
    static constexpr DWORD ControlManual = 0;
    static constexpr DWORD ControlApi = 1;
    static constexpr DWORD SnapShotFileSystem = 0;
    static constexpr DWORD SnapShotBridgeStream = 1;

    // The process identity is reported to the controller; it must outlive the bridge.
    explicit BaseBridge(const GUID& processGuid);
    ~BaseBridge() override;

    BaseBridge(const BaseBridge&) = delete;
    BaseBridge& operator=(const BaseBridge&) = delete;

    // Slot 1 is Read. Connect returns once the handshake has succeeded, and raises otherwise.
    virtual void Connect() = 0;
    // Deactivates and destroys the command processor and forgets the client.
    virtual void Close();
    // Switch the command processor's queued commands on and off; both raise "No command
    // processor" before a successful handshake.
    virtual void ActivateCommands();
    virtual void DeactivateCommands();

    // Called by the profiler's constructor, before Connect.
    void SetClient(IBridgeClientInfo* pInfo, IBridgeEvent* pEvent);
    // The handshake, on the worker thread. Raises its failure texts; then no processor exists.
    void TryConnect();
    // The command processor's control interface; null before the handshake or after Close.
    IBridgeControl* GetControl();
    // File-system storage for snapshot type 0, bridge storage for 1; the caller owns it.
    std::unique_ptr<ISnapShotStorage> CreateSnapShotStorage();

    DWORD GetControlKind() const { return m_ControlKind; }
    // Free text from the controller; it goes into every snapshot's environment record.
    const std::string& GetControllerText() const { return m_ControllerText; }
    const std::map<WString, bool>& GetNamedFlags() const { return m_NamedFlags; }

protected:
    CommandProcessor* GetCommandProcessor() const { return m_pCommandProcessor.get(); }
    // The worker has stopped reading: requests waiting for replies must not wait any longer.
    void EndReplies();

private:

    const GUID& m_ProcessGuid;
    IBridgeClientInfo* m_pInfo = nullptr;  // not owned
    IBridgeEvent* m_pEvent = nullptr;      // not owned; handed on to the command processor
    // Created by the handshake on the worker thread; destroyed by Close after the worker ended.
    std::unique_ptr<CommandProcessor> m_pCommandProcessor;
    DWORD m_ControlKind = ControlManual;
    std::string m_ControllerText;
    std::map<WString, bool> m_NamedFlags;
};
