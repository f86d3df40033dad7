// A command processor for tests: the base protocol engine with the IBridgeControl sub-object, a
// state notification of its own, and enable/disable calls that only count. It records every
// command code the worker reads; when told to, it also takes the measure and memory kinds'
// commands (Start, StopDrop, StopSave, ForceGC, Dump) as handled, doing nothing else with them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "CommandProcessor/ControlledCommandProcessor.h"

class TestCommandProcessor : public ControlledCommandProcessor<IBridgeControl> {
public:
    TestCommandProcessor(IBridgeStream* pStream, DWORD controlKind, DWORD snapshotType)
        : ControlledCommandProcessor<IBridgeControl>(pStream, controlKind, snapshotType) {}

    void EnableCommands() override { ++m_EnableCalls; }
    void DisableCommands() override { ++m_DisableCalls; }

    bool ProcessCommand(BYTE code) override {
        {
            std::lock_guard<std::mutex> guard(m_CommandsLock);
            m_Commands.push_back(code);
        }
        m_CommandSeen.notify_all();
        if (m_TakeKindCommands && IsKindCommand(code)) {
            return true;
        }
        return CommandProcessor::ProcessCommand(code);
    }

    // Sends Started (0x90) the way the measure processor does.
    void Started() { WriteStateMessage("TCP::Started", MessageStarted); }

    // The codes read so far, once `predicate` holds for them or the time is up.
    template <class Predicate>
    std::vector<BYTE> WaitForCommands(Predicate predicate, DWORD milliseconds) {
        std::unique_lock<std::mutex> guard(m_CommandsLock);
        m_CommandSeen.wait_for(guard, std::chrono::milliseconds(milliseconds),
                               [&] { return predicate(m_Commands); });
        return m_Commands;
    }

    std::atomic<int> m_EnableCalls{0};
    std::atomic<int> m_DisableCalls{0};
    // Set before the worker reads commands (by the client-info object that creates us).
    bool m_TakeKindCommands = false;

private:
    static bool IsKindCommand(BYTE code) {
        return (code >= 0x10 && code <= 0x12) || code == 0x20 || code == 0x21;
    }

    // Guards m_Commands: the worker appends, test threads wait and read.
    std::mutex m_CommandsLock;
    std::condition_variable m_CommandSeen;
    std::vector<BYTE> m_Commands;
};
