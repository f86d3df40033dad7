// Reads the profiler's messages one at a time and acts on them: answers section and tell
// requests, assembles bridge snapshots, loads file snapshots, and turns notifications into events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bridge/IReadBridgeStream.h"
#include "Controller/EventQueue.h"
#include "Controller/IMessageSender.h"
#include "Controller/SnapshotAssembler.h"

namespace Controller {

class ProfilerMessageHandler {
public:
    // Largest section write accepted in one message.
    static constexpr uint32_t MaxWriteCount = 64 * 1024 * 1024;
    static constexpr size_t MaxNotificationLength = 1024 * 1024;
    static constexpr size_t MaxPathLength = 64 * 1024;

    ProfilerMessageHandler(IMessageSender& sender, EventQueue& events, int64_t maxSectionSize,
                           bool removeFileSnapshots);

    // Reads one message and acts on it. ConnectionError passes through; a message that breaks
    // the protocol raises std::runtime_error saying what the profiler sent, after which the
    // stream is out of step.
    void HandleOne(IReadBridgeStream& in);

    // The connection is over: a snapshot still in progress is reported incomplete, with why.
    void Abandon(const std::string& reason);

    bool IsSnapshotInProgress() const { return m_Assembler.InProgress(); }

private:
    void Dispatch(uint8_t code, IReadBridgeStream& in);
    void OnSectionCreate(IReadBridgeStream& in);
    void OnSectionWrite(IReadBridgeStream& in);
    void OnSectionTell(IReadBridgeStream& in);
    void OnSectionSeek(IReadBridgeStream& in);
    void OnSectionClose(IReadBridgeStream& in);
    void OnSnapshotClose(IReadBridgeStream& in);
    void OnCoreDone(IReadBridgeStream& in);
    void PushSnapshot(std::shared_ptr<Snapshot> pSnapshot);
    void Push(EventKind kind);

    IMessageSender& m_Sender;
    EventQueue& m_Events;
    SnapshotAssembler m_Assembler;
    const int64_t m_MaxSectionSize;
    const bool m_RemoveFileSnapshots;
    // Receives one section write before it is applied; kept to save an allocation per message.
    std::vector<BYTE> m_WriteBytes;
};

}  // namespace Controller
