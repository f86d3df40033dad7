#include "CommandProcessor/MeasureCommandProcessor.h"

#include "Util/Log.h"

MeasureCommandProcessor::MeasureCommandProcessor(IBridgeStream* pStream,
                                                 IMeasureBridgeEvent* pEvent, DWORD controlKind,
                                                 DWORD snapshotType)
    : ControlledCommandProcessor<IMeasureBridgeControl>(pStream, controlKind, snapshotType),
      m_Thread(pEvent, &IMeasureBridgeEvent::NeedFlush, &IMeasureBridgeEvent::Flush) {}

MeasureCommandProcessor::~MeasureCommandProcessor() {
    // Commands are disabled by now, so the idle thread no longer touches the queue; the thread
    // stops when m_Thread goes, right after.
    m_Thread.DiscardCalls();
}

void MeasureCommandProcessor::Activate() {
    CommandProcessor::Activate();
    m_Thread.StartThread();
}

void MeasureCommandProcessor::EnableCommands() {
    m_Thread.Enable();
}

void MeasureCommandProcessor::DisableCommands() {
    m_Thread.Disable();
}

bool MeasureCommandProcessor::ProcessCommand(BYTE code) {
    switch (code) {
        case CommandStart:
            Queue("MCP::ProcessCommand Start", &IMeasureBridgeEvent::BridgeStart);
            return true;
        case CommandStopDrop:
            Queue("MCP::ProcessCommand StopDrop", &IMeasureBridgeEvent::BridgeStopDrop);
            return true;
        case CommandStopSave:
            Queue("MCP::ProcessCommand StopSave", &IMeasureBridgeEvent::BridgeStopSave);
            return true;
        default:
            return CommandProcessor::ProcessCommand(code);
    }
}

void MeasureCommandProcessor::Started() {
    WriteStateMessage("MCP::Started", MessageStarted);
}

void MeasureCommandProcessor::Stopped() {
    WriteStateMessage("MCP::Stopped", MessageStopped);
}

void MeasureCommandProcessor::Queue(const char* pLogText,
                                    CommandThread<IMeasureBridgeEvent>::Call call) {
    if (Log::IsEnabled(LogComponent::Bridge)) {
        Log::Message(pLogText);
    }
    m_Thread.Enqueue(call);
}
