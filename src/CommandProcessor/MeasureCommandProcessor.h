// The performance kinds' command processor: Start, StopDrop and StopSave from the controller are
// queued for its command thread, which runs them against the profiler's measure event sink and
// flushes finished call trees when idle. Under manual control it tells the controller when
// measuring has started and stopped.
#pragma once

#include "Bridge/IMeasureBridgeControl.h"
#include "Bridge/IMeasureBridgeEvent.h"
#include "CommandProcessor/CommandThread.h"
#include "CommandProcessor/ControlledCommandProcessor.h"

class MeasureCommandProcessor : public ControlledCommandProcessor<IMeasureBridgeControl> {
public:
    static constexpr BYTE CommandStart = 0x10;
    static constexpr BYTE CommandStopDrop = 0x11;
    static constexpr BYTE CommandStopSave = 0x12;

    // pStream is the bridge; pEvent, the profiler's sink, must outlive the processor.
    MeasureCommandProcessor(IBridgeStream* pStream, IMeasureBridgeEvent* pEvent, DWORD controlKind,
                            DWORD snapshotType);
    // Discards calls still queued, then stops the command thread.
    ~MeasureCommandProcessor() override;

    // Becomes the log's sink, then starts the command thread (idle until enabled).
    void Activate() override;
    void EnableCommands() override;
    void DisableCommands() override;
    bool ProcessCommand(BYTE code) override;

    // IMeasureBridgeControl: 0x90 and 0x91; under API control they raise "API is used".
    void Started() override;
    void Stopped() override;

private:
    void Queue(const char* pLogText, CommandThread<IMeasureBridgeEvent>::Call call);

    CommandThread<IMeasureBridgeEvent> m_Thread;
};
