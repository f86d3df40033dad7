#include "Controller/ProfilerMessageHandler.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Controller/ConnectionError.h"
#include "Controller/FileSnapshotReader.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/WireText.h"

namespace Controller {

namespace {

// Section write bytes are read in pieces of at least this size, each up to the size read so far.
constexpr size_t WriteChunk = 64 * 1024;

std::string CodeText(uint8_t code) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", code);
    return text;
}

const char* MessageName(uint8_t code) {
    switch (static_cast<MessageCode>(code)) {
    case MessageCode::SnapshotCreate:
        return "snapshot create";
    case MessageCode::SectionCreate:
        return "section create";
    case MessageCode::SectionClose:
        return "section close";
    case MessageCode::SectionWrite:
        return "section write";
    case MessageCode::SectionTell:
        return "section tell";
    case MessageCode::SectionSeek:
        return "section seek";
    case MessageCode::SnapshotAbort:
        return "snapshot abort";
    case MessageCode::SnapshotClose:
        return "snapshot close";
    case MessageCode::SnapshotCoreDone:
        return "file snapshot done";
    case MessageCode::LogNotification:
        return "log notification";
    default:
        return "message";
    }
}

// A device path as a path on this machine: standard UTF-8, "/" separators.
std::string LocalPath(const std::string& wire) {
    std::string path = DecodeWireText(wire);
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

}  // namespace

ProfilerMessageHandler::ProfilerMessageHandler(IMessageSender& sender, EventQueue& events,
                                               int64_t maxSectionSize, bool removeFileSnapshots)
    : m_Sender(sender),
      m_Events(events),
      m_Assembler(maxSectionSize),
      m_MaxSectionSize(maxSectionSize),
      m_RemoveFileSnapshots(removeFileSnapshots) {}

void ProfilerMessageHandler::HandleOne(IReadBridgeStream& in) {
    const uint8_t code = ReadU8(in);
    try {
        Dispatch(code, in);
    } catch (const ConnectionError&) {
        throw;
    } catch (const std::exception& error) {
        throw std::runtime_error("The profiled process sent a bad " +
                                 std::string(MessageName(code)) + " (" + CodeText(code) +
                                 "): " + error.what());
    }
}

void ProfilerMessageHandler::Dispatch(uint8_t code, IReadBridgeStream& in) {
    ControllerEvent event;
    switch (static_cast<MessageCode>(code)) {
    case MessageCode::Started:
        Push(EventKind::Started);
        return;
    case MessageCode::Stopped:
        Push(EventKind::Stopped);
        return;
    case MessageCode::Done:
        Push(EventKind::Done);
        return;
    case MessageCode::SnapshotCreate:
        event.kind = EventKind::SnapshotStarted;
        event.magic = ReadU32(in);
        m_Assembler.Begin(event.magic);
        m_Events.Push(std::move(event));
        return;
    case MessageCode::SectionCreate:
        OnSectionCreate(in);
        return;
    case MessageCode::SectionClose:
        OnSectionClose(in);
        return;
    case MessageCode::SectionWrite:
        OnSectionWrite(in);
        return;
    case MessageCode::SectionTell:
        OnSectionTell(in);
        return;
    case MessageCode::SectionSeek:
        OnSectionSeek(in);
        return;
    case MessageCode::SnapshotAbort:
        // A storage whose announcement failed may abort without a snapshot: nothing to report.
        if (m_Assembler.InProgress()) {
            PushSnapshot(m_Assembler.Abort());
        }
        return;
    case MessageCode::SnapshotClose:
        OnSnapshotClose(in);
        return;
    case MessageCode::SnapshotCoreDone:
        OnCoreDone(in);
        return;
    case MessageCode::OperationStarted:
        event.kind = EventKind::OperationStarted;
        event.operation = ReadU8(in);
        m_Events.Push(std::move(event));
        return;
    case MessageCode::OperationFinished:
        Push(EventKind::OperationFinished);
        return;
    case MessageCode::OperationProgress:
        event.kind = EventKind::OperationProgress;
        event.value = ReadU32(in);
        event.total = ReadU32(in);
        m_Events.Push(std::move(event));
        return;
    case MessageCode::LogNotification:
        event.kind = EventKind::LogNotification;
        event.logKind = ReadU8(in);
        event.text = DecodeWireText(
            ReadBoundedString(in, MaxNotificationLength, "The notification text"));
        m_Events.Push(std::move(event));
        return;
    }
    throw std::runtime_error("the code is unknown: the connection is out of step (a damaged "
                             "stream, or a profiler library from another release)");
}

void ProfilerMessageHandler::OnSectionCreate(IReadBridgeStream& in) {
    const uint32_t id = ReadU32(in);
    const uint16_t handle = m_Assembler.CreateSection();
    MemoryBridgeStream reply;
    WriteU8(reply, static_cast<uint8_t>(CommandCode::SectionCreateResult));
    WriteU32(reply, id);
    WriteU16(reply, handle);
    m_Sender.SendMessage(reply.GetData(), reply.GetSize());
}

void ProfilerMessageHandler::OnSectionWrite(IReadBridgeStream& in) {
    const uint16_t handle = ReadU16(in);
    const uint32_t count = ReadU32(in);
    if (count > MaxWriteCount) {
        throw std::runtime_error("a write of " + std::to_string(count) +
                                 " bytes, more than the " + std::to_string(MaxWriteCount) +
                                 " allowed in one message");
    }
    SectionBuffer& section = m_Assembler.GetSection(handle);
    // Refused before any of its bytes is read: the stream is out of step either way.
    section.RequireRoom(count);
    // The bytes land in the section only once all have arrived: a write cut short by a broken
    // connection must not leave bytes that never came looking like data. The buffer grows as
    // they arrive, so a count that the bytes never follow costs no more than what did come.
    size_t done = 0;
    while (done < count) {
        const size_t piece = std::min<size_t>(count - done, std::max(done, WriteChunk));
        if (m_WriteBytes.size() < done + piece) {
            m_WriteBytes.resize(done + piece);
        }
        in.Read(m_WriteBytes.data() + done, piece);
        done += piece;
    }
    section.Write(m_WriteBytes.data(), count);
}

void ProfilerMessageHandler::OnSectionTell(IReadBridgeStream& in) {
    const uint16_t handle = ReadU16(in);
    const uint32_t id = ReadU32(in);
    const int64_t position = m_Assembler.GetSection(handle).Tell();
    MemoryBridgeStream reply;
    WriteU8(reply, static_cast<uint8_t>(CommandCode::TellResult));
    WriteU32(reply, id);
    WriteI64(reply, position);
    m_Sender.SendMessage(reply.GetData(), reply.GetSize());
}

void ProfilerMessageHandler::OnSectionSeek(IReadBridgeStream& in) {
    const uint16_t handle = ReadU16(in);
    const uint8_t origin = ReadU8(in);
    const int64_t offset = ReadI64(in);
    m_Assembler.GetSection(handle).Seek(origin, offset);
}

void ProfilerMessageHandler::OnSectionClose(IReadBridgeStream& in) {
    const uint16_t handle = ReadU16(in);
    const uint16_t type = ReadU16(in);
    const uint16_t version = ReadU16(in);
    m_Assembler.CloseSection(handle, type, version);
}

void ProfilerMessageHandler::OnSnapshotClose(IReadBridgeStream& in) {
    const uint32_t index = ReadU32(in);
    const GUID sequence = ReadGuid(in);
    const uint32_t sequenceNumber = ReadU32(in);
    PushSnapshot(m_Assembler.Close(index, sequence, sequenceNumber));
}

void ProfilerMessageHandler::OnCoreDone(IReadBridgeStream& in) {
    const uint32_t index = ReadU32(in);
    const GUID sequence = ReadGuid(in);
    const uint32_t sequenceNumber = ReadU32(in);
    const std::string path =
        LocalPath(ReadBoundedString(in, MaxPathLength, "The index file path"));
    // The files are the device's; a fault in them is reported, and the connection goes on.
    try {
        auto pSnapshot =
            std::make_shared<Snapshot>(FileSnapshotReader::Read(
                path, m_MaxSectionSize,
                m_RemoveFileSnapshots ? FileSnapshotReader::Storage::Map
                                      : FileSnapshotReader::Storage::Copy));
        pSnapshot->index = index;
        pSnapshot->sequence = sequence;
        pSnapshot->sequenceNumber = sequenceNumber;
        if (m_RemoveFileSnapshots) {
            FileSnapshotReader::Remove(path);
        }
        PushSnapshot(std::move(pSnapshot));
    } catch (const std::exception& error) {
        ControllerEvent event;
        event.kind = EventKind::Error;
        event.text =
            std::string("Can't take the file snapshot the profiler wrote: ") + error.what();
        m_Events.Push(std::move(event));
    }
}

void ProfilerMessageHandler::Abandon(const std::string& reason) {
    if (auto pSnapshot = m_Assembler.Abandon(reason)) {
        PushSnapshot(std::move(pSnapshot));
    }
}

void ProfilerMessageHandler::PushSnapshot(std::shared_ptr<Snapshot> pSnapshot) {
    ControllerEvent event;
    event.kind = EventKind::Snapshot;
    event.magic = pSnapshot->magic;
    event.snapshot = std::move(pSnapshot);
    m_Events.Push(std::move(event));
}

void ProfilerMessageHandler::Push(EventKind kind) {
    ControllerEvent event;
    event.kind = kind;
    m_Events.Push(std::move(event));
}

}  // namespace Controller
