// Where one snapshot goes: a sequence of sections, each a byte stream tagged with a type and a
// version when it is closed. Streamed to the controller or written to files on the device; section
// writers cannot tell which.
#pragma once

#include "Bridge/IBridgeControl.h"
#include "Bridge/IWriteSeekBridgeStream.h"
#include "Platform/Types.h"

class ISnapShotStorage {
public:
    // No section may carry this type: readers of the file index stop at it.
    static constexpr WORD InvalidSectionType = 0xFFFF;

    // Destroying a storage that was created and not closed abandons the snapshot.
    virtual ~ISnapShotStorage() = default;

    virtual void Create(IBridgeControl* pControl, DWORD magic, DWORD snapshotIndex,
                        const GUID& sequence, DWORD sequenceNumber) = 0;
    // The stream belongs to the storage; the writer must not use it after CloseSection. Its
    // positions count from the section's start.
    virtual IWriteSeekBridgeStream* CreateSection() = 0;
    virtual void CloseSection(IWriteSeekBridgeStream* pSection, WORD type, WORD version) = 0;
    virtual void Close() = 0;
    virtual void Abort() = 0;
};
