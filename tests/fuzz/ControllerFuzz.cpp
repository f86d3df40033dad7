// The controller's end of the bridge fed with what a profiled process might send: the input is
// every byte the process sends, from the protocol identifier of the handshake on, and then the
// connection ends. The real handshake, message handler and snapshot assembler read it as the
// session's reader thread does; each snapshot that comes out is then read the way qvprof reads
// one (metadata, module paths, class records and their names) and passed through the snapshot
// file format, which must give it back unchanged.
//
// Every fault must surface as the documented error (std::runtime_error, or ConnectionError once
// the input is used up); nothing may crash, hang or read outside its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/ClassNamer.h"
#include "Controller/ClassTable.h"
#include "Controller/ConnectionError.h"
#include "Controller/ControllerHandshake.h"
#include "Controller/EventQueue.h"
#include "Controller/IMessageSender.h"
#include "Controller/MetaDataNameResolver.h"
#include "Controller/MetaDataSection.h"
#include "Controller/ModulePathSection.h"
#include "Controller/ProfilerMessageHandler.h"
#include "Controller/SectionTypes.h"
#include "Controller/SessionOptions.h"
#include "Controller/SnapshotFile.h"

using namespace Controller;

namespace {

// Sections beyond this are refused; it keeps each input's memory small while leaving the limit
// checks in play.
constexpr int64_t MAX_SECTION_SIZE = 16 * 1024 * 1024;

// The connection as the session's reader sees it: the input, then the peer's end of stream.
class InputLine final : public IReadBridgeStream {
public:
    InputLine(const uint8_t* pData, size_t size) : m_pData(pData), m_Size(size) {}

    void Read(void* buffer, size_t count) override {
        if (count > m_Size - m_Position) {
            m_Position = m_Size;
            throw ConnectionError(ConnectionError::Cause::Closed,
                                  "the profiled process closed the connection");
        }
        if (count != 0) {
            std::memcpy(buffer, m_pData + m_Position, count);
            m_Position += count;
        }
    }

private:
    const uint8_t* m_pData;
    size_t m_Size;
    size_t m_Position = 0;
};

// Where the controller's answers and replies go: dropped.
class DroppedReplies final : public IWriteBridgeStream, public IMessageSender {
public:
    void Write(const void*, size_t) override {}
    void SendMessage(const void*, size_t) override {}
};

void Fail(const std::string& what) {
    std::fprintf(stderr, "controller_fuzz: %s\n", what.c_str());
    std::abort();
}

void ReadClasses(const Snapshot& snapshot, const MetaDataNameResolver& names) {
    const SnapshotSection* pData = snapshot.FindSection(ClassDataSectionType);
    const SnapshotSection* pIndex = snapshot.FindSection(ClassIndexSectionType);
    if (pData == nullptr || pIndex == nullptr) {
        return;
    }
    try {
        const ClassTable classes = ClassTable::Read(*pData, *pIndex);
        const ClassNamer namer(classes, names);
        for (const ClassRecord& record : classes.Records()) {
            namer.Name(record.position);
            namer.Name(record.parent);
        }
    } catch (const std::runtime_error&) {
    }
}

// What qvprof reads from a received snapshot.
void ReadSections(const Snapshot& snapshot) {
    MetaDataNameResolver names;
    for (const SnapshotSection& section : snapshot.sections) {
        try {
            if (section.type == MetaDataSectionType) {
                for (MetaDataRecord& record : ReadMetaDataSection(section)) {
                    names.Add(record.index, std::move(record.blob));
                }
            } else if (section.type == ModulePathSectionType) {
                ReadModulePathSection(section);
            }
        } catch (const std::runtime_error&) {
        }
    }
    ReadClasses(snapshot, names);
}

// The snapshot file must carry every received snapshot, whole or not, unchanged.
void RoundTripThroughFile(const Snapshot& snapshot) {
    std::vector<BYTE> file = SnapshotFile::EncodeHead(snapshot);
    for (const SnapshotSection& section : snapshot.sections) {
        file.insert(file.end(), section.bytes.begin(), section.bytes.end());
    }
    Snapshot back;
    try {
        back = SnapshotFile::Parse(file.data(), file.size(), "received");
    } catch (const std::runtime_error& error) {
        Fail(std::string("the snapshot file of a received snapshot does not read back: ") +
             error.what());
    }
    bool same = back.magic == snapshot.magic && back.index == snapshot.index &&
                back.sequence == snapshot.sequence &&
                back.sequenceNumber == snapshot.sequenceNumber &&
                back.complete == snapshot.complete && back.aborted == snapshot.aborted &&
                back.origin == snapshot.origin && back.note == snapshot.note &&
                back.sections.size() == snapshot.sections.size();
    for (size_t i = 0; same && i < back.sections.size(); ++i) {
        const SnapshotSection& a = back.sections[i];
        const SnapshotSection& b = snapshot.sections[i];
        same = a.type == b.type && a.version == b.version && a.closed == b.closed &&
               a.bytes == b.bytes;
    }
    if (!same) {
        Fail("the snapshot file of a received snapshot reads back different");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SessionOptions options;
    options.maxSectionSize = MAX_SECTION_SIZE;
    InputLine in(data, size);
    DroppedReplies out;
    ProcessInfo info;
    try {
        info = ControllerHandshake::Run(in, out, options);
    } catch (const std::runtime_error&) {
        return 0;
    }
    if (info.outcome != HandshakeOutcome::Running) {
        Fail("the handshake refused although every answer accepts");
    }

    // The session's reader loop: one message after another until the connection ends or a
    // message breaks the protocol.
    EventQueue events;
    ProfilerMessageHandler handler(out, events, options.maxSectionSize,
                                   options.removeFileSnapshots);
    std::string note;
    try {
        for (;;) {
            handler.HandleOne(in);
        }
    } catch (const ConnectionError&) {
        note = "the profiled process closed the connection in the middle of the snapshot";
    } catch (const std::runtime_error& fault) {
        note = fault.what();
    }
    handler.Abandon(note);

    while (std::optional<ControllerEvent> event = events.WaitNext(0)) {
        if (event->kind == EventKind::Snapshot) {
            if (event->snapshot == nullptr) {
                Fail("a snapshot event without its snapshot");
            }
            ReadSections(*event->snapshot);
            RoundTripThroughFile(*event->snapshot);
        }
    }
    return 0;
}
