#include "CommandProcessor/MemoryCommandProcessor.h"

#include "Util/Log.h"

MemoryCommandProcessor::MemoryCommandProcessor(IBridgeStream* pStream, IMemoryBridgeEvent* pEvent,
                                               DWORD controlKind, DWORD snapshotType)
    : ControlledCommandProcessor<IMemoryBridgeControl>(pStream, controlKind, snapshotType),
      m_Thread(pEvent, &IMemoryBridgeEvent::NeedBackgroundWork,
               &IMemoryBridgeEvent::DoBackgroundWork) {}

MemoryCommandProcessor::~MemoryCommandProcessor() {
    // Commands are disabled by now, so the idle thread no longer touches the queue; the thread
    // stops when m_Thread goes, right after.
    m_Thread.DiscardCalls();
}

void MemoryCommandProcessor::Activate() {
    CommandProcessor::Activate();
    m_Thread.StartThread();
}

void MemoryCommandProcessor::EnableCommands() {
    m_Thread.Enable();
}

void MemoryCommandProcessor::DisableCommands() {
    m_Thread.Disable();
}

bool MemoryCommandProcessor::ProcessCommand(BYTE code) {
    switch (code) {
        case CommandForceGC:
            Queue("MemCP::ProcessCommand ForceGC", &IMemoryBridgeEvent::BridgeForceGC);
            return true;
        case CommandDump:
            Queue("MemCP::ProcessCommand Dump", &IMemoryBridgeEvent::BridgeDump);
            return true;
        default:
            return CommandProcessor::ProcessCommand(code);
    }
}

void MemoryCommandProcessor::Done() {
    WriteStateMessage("MemCP::Done", MessageDone);
}

void MemoryCommandProcessor::Queue(const char* pLogText,
                                   CommandThread<IMemoryBridgeEvent>::Call call) {
    if (Log::IsEnabled(LogComponent::Bridge)) {
        Log::Message(pLogText);
    }
    m_Thread.Enqueue(call);
}
