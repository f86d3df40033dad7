// A snapshot streamed to the controller while it is written: every section is opened by a request
// whose handle the controller returns, filled with writes and closed with its type and version.
// A storage destroyed without Close tells the controller the snapshot is abandoned.
#pragma once

#include <memory>
#include <vector>

#include "Bridge/BridgeSectionStream.h"
#include "Bridge/IBridgeControl.h"
#include "Bridge/ISnapShotStorage.h"
#include "Platform/Types.h"
#include "Util/SpinLock.h"

class BridgeSnapShotStorage : public ISnapShotStorage {
public:
    BridgeSnapShotStorage() = default;
    ~BridgeSnapShotStorage() override;

    BridgeSnapShotStorage(const BridgeSnapShotStorage&) = delete;
    BridgeSnapShotStorage& operator=(const BridgeSnapShotStorage&) = delete;

    // A null control raises "Invalid argument"; a failing announcement aborts the snapshot.
    void Create(IBridgeControl* pControl, DWORD magic, DWORD snapshotIndex, const GUID& sequence,
                DWORD sequenceNumber) override;
    // Blocks until the controller has replied with the section's handle.
    IWriteSeekBridgeStream* CreateSection() override;
    // A stream this storage did not hand out, or one already closed, raises "Wrong section to
    // close". The bytes the stream still holds are sent first (a failure raises and leaves the
    // section open); then the stream is destroyed.
    void CloseSection(IWriteSeekBridgeStream* pSection, WORD type, WORD version) override;
    void Close() override;
    // Tells the controller once; afterwards the storage holds no control.
    void Abort() override;

private:
    // Null before Create and after Close or Abort.
    IBridgeControl* m_pControl = nullptr;
    DWORD m_SnapshotIndex = 0;
    GUID m_Sequence = {};
    DWORD m_SequenceNumber = 0;

    // Guards m_Sections; section writers on any thread open and close sections.
    SpinLock m_SectionsLock;
    std::vector<std::unique_ptr<BridgeSectionStream>> m_Sections;
};
