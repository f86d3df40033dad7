// A command processor for tests: the base protocol engine with the IBridgeControl sub-object, a
// state notification of its own, and enable/disable calls that only count.
#pragma once

#include <atomic>

#include "CommandProcessor/ControlledCommandProcessor.h"

class TestCommandProcessor : public ControlledCommandProcessor<IBridgeControl> {
public:
    TestCommandProcessor(IBridgeStream* pStream, DWORD controlKind, DWORD snapshotType)
        : ControlledCommandProcessor<IBridgeControl>(pStream, controlKind, snapshotType) {}

    void EnableCommands() override { ++m_EnableCalls; }
    void DisableCommands() override { ++m_DisableCalls; }

    // Sends Started (0x90) the way the measure processor does.
    void Started() { WriteStateMessage("TCP::Started", MessageStarted); }

    std::atomic<int> m_EnableCalls{0};
    std::atomic<int> m_DisableCalls{0};
};
