// Builds the snapshot the profiler streams over the bridge: section handles are handed out here,
// writes and seeks are applied to in-memory sections, and the close, abort or a broken connection
// turns the sections into a Snapshot. Every protocol fault raises std::runtime_error saying what
// the profiler did wrong; the caller then abandons the snapshot.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Controller/SectionBuffer.h"
#include "Controller/Snapshot.h"

namespace Controller {

class SnapshotAssembler {
public:
    explicit SnapshotAssembler(int64_t maxSectionSize);

    bool InProgress() const { return m_pSnapshot != nullptr; }

    // A new snapshot with the kind's magic. Raises while another is in progress.
    void Begin(uint32_t magic);
    // A new section, last in the table; returns its handle, never one of an open section.
    uint16_t CreateSection();
    // The open section with this handle; raises for a handle that is not open.
    SectionBuffer& GetSection(uint16_t handle);
    void CloseSection(uint16_t handle, uint16_t type, uint16_t version);

    // The profiler closed the snapshot. Sections it left open make the snapshot incomplete.
    std::shared_ptr<Snapshot> Close(uint32_t index, const GUID& sequence, uint32_t sequenceNumber);
    // The profiler abandoned the snapshot: kept, marked aborted.
    std::shared_ptr<Snapshot> Abort();
    // The snapshot cannot go on (a fault, a broken connection): kept as incomplete with the
    // reason. Null when none is in progress.
    std::shared_ptr<Snapshot> Abandon(const std::string& reason);

private:
    struct OpenSection {
        size_t tableIndex;  // its place in the snapshot's section table
        SectionBuffer buffer;
    };

    void RequireSnapshot(const char* message) const;
    // Moves every open section's bytes into the table and hands the snapshot out.
    std::shared_ptr<Snapshot> Finish();

    const int64_t m_MaxSectionSize;
    std::shared_ptr<Snapshot> m_pSnapshot;
    std::map<uint16_t, OpenSection> m_OpenSections;
    uint16_t m_NextHandle = 1;
};

}  // namespace Controller
