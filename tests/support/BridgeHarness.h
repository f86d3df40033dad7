// A Bridge wired to a FakePALTools, a TestClientInfo and a TestEventSink, with the test playing the
// controller: Connect runs the bridge's Connect while answering the handshake, Close stops the
// worker the way a controller does (it keeps sending Idle until the worker has seen the stop).
#pragma once

#include <memory>
#include <string>

#include "Platform/Types.h"
#include "WinCE/Bridge.h"
#include "support/BridgeLine.h"
#include "support/ControllerHandshake.h"
#include "support/FakePALTools.h"
#include "support/TestClientInfo.h"
#include "support/TestEventSink.h"

class BridgeHarness {
public:
    // {5A0C9E21-7B3D-4E8F-9A1B-2C3D4E5F6071}
    static constexpr GUID ProcessGuid = {
        0x5A0C9E21, 0x7B3D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};
    static constexpr const WCHAR* ServiceId = u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";

    BridgeHarness();
    // Closes the bridge if the test did not.
    ~BridgeHarness();

    BridgeHarness(const BridgeHarness&) = delete;
    BridgeHarness& operator=(const BridgeHarness&) = delete;

    // Connects while playing the controller's handshake; returns Connect's failure text, or an
    // empty text when it succeeded.
    std::string Connect(const HandshakeAnswers& answers, HandshakeHello* pHello = nullptr);
    void Close();

    Bridge& GetBridge() { return *m_pBridge; }
    BridgeLine& Line() { return m_PALTools.Line(); }
    TestCommandProcessor* Processor() { return m_Info.m_pProcessor; }

    FakePALTools m_PALTools;
    TestClientInfo m_Info;
    TestEventSink m_Event;

private:
    std::unique_ptr<Bridge> m_pBridge;
    bool m_Closed = false;
};
