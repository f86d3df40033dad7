// One heap section of the open snapshot, written record by record. The section is created on the
// first record (a section without records is never created) and its header written first; closing
// it rewrites the header of a counted writer with the final counts. Records go through a buffer,
// so a record costs the section stream nothing until the buffer fills.
//
// Four writers, each adding to the one before: plain (no header), pointer-size (the width of
// object ids), counted (plus the record count) and range-counted (plus the lowest and highest
// object id). Not thread-safe: the heap writer guards each with its lock.
#pragma once

#include <cstdint>
#include <memory>

#include "Bridge/BufferedWriteStream.h"
#include "Bridge/ISnapShotStorage.h"
#include "Platform/Types.h"

class SectionWriter {
public:
    SectionWriter(WORD type, WORD version) : m_Type(type), m_Version(version) {}
    SectionWriter(const SectionWriter&) = delete;
    SectionWriter& operator=(const SectionWriter&) = delete;

    virtual ~SectionWriter() = default;
    // Whether the header is rewritten at close.
    virtual bool IsCounted() const { return false; }

    // The storage the section goes into; null leaves the writer without one.
    void Assign(ISnapShotStorage* pStorage) { m_pStorage = pStorage; }
    bool IsOpen() const { return m_pSection != nullptr; }
    // The section's stream, created with its header on first use. Raises "No snapshot assigned"
    // without a storage. Called for every record, so the open section's path is inline.
    BufferedWriteStream& Stream() { return m_pBuffer != nullptr ? *m_pBuffer : Open(); }
    // The section's length so far (header included), creating it first: the position of the
    // next record.
    int64_t Position() { return static_cast<int64_t>(Stream().GetPosition()); }
    // Closes an open section with the writer's type and version; nothing when none is open.
    void Close();
    // Forgets storage and section without closing them (the snapshot is being dropped).
    void Reset();

    WORD GetType() const { return m_Type; }

protected:
    // Resets the counters for a new section.
    virtual void OnBegin() {}
    // Writes the header with the current counters.
    virtual void OnCreated(IWriteBridgeStream& stream) {}

private:
    // Creates the section and writes its header.
    BufferedWriteStream& Open();

    const WORD m_Type;
    const WORD m_Version;
    ISnapShotStorage* m_pStorage = nullptr;        // not owned
    IWriteSeekBridgeStream* m_pSection = nullptr;  // the storage's, while open
    std::unique_ptr<BufferedWriteStream> m_pBuffer;
};
