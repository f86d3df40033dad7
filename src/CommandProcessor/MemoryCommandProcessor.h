// The memory kind's command processor: ForceGC and Dump from the controller are queued for its
// command thread, which runs them against the profiler's memory event sink and does the sink's
// background work when idle. Under manual control it tells the controller when a command's work
// is done.
#pragma once

#include "Bridge/IMemoryBridgeControl.h"
#include "Bridge/IMemoryBridgeEvent.h"
#include "CommandProcessor/CommandThread.h"
#include "CommandProcessor/ControlledCommandProcessor.h"

class MemoryCommandProcessor : public ControlledCommandProcessor<IMemoryBridgeControl> {
public:
    static constexpr BYTE CommandForceGC = 0x20;
    static constexpr BYTE CommandDump = 0x21;

    // pStream is the bridge; pEvent, the profiler's sink, must outlive the processor.
    MemoryCommandProcessor(IBridgeStream* pStream, IMemoryBridgeEvent* pEvent, DWORD controlKind,
                           DWORD snapshotType);
    // Discards calls still queued, then stops the command thread.
    ~MemoryCommandProcessor() override;

    // Becomes the log's sink, then starts the command thread (idle until enabled).
    void Activate() override;
    void EnableCommands() override;
    void DisableCommands() override;
    bool ProcessCommand(BYTE code) override;

    // IMemoryBridgeControl: 0xA0; under API control it raises "API is used".
    void Done() override;

private:
    void Queue(const char* pLogText, CommandThread<IMemoryBridgeEvent>::Call call);

    CommandThread<IMemoryBridgeEvent> m_Thread;
};
