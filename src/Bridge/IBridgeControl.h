// The profiler's handle on the controller: operation progress, snapshot streaming and whether an
// error has been reported. The measure and memory command processors extend it with their state
// notifications (Started and Stopped, or Done). Every operation raises on failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Platform/Types.h"

class IBridgeControl {
public:
    // Operation codes of OperationStarted.
    static constexpr DWORD OperationWriteSnapshot = 0;
    static constexpr DWORD OperationFlush = 1;

    // Only one operation runs at a time; progress is legal only while it runs.
    virtual void OperationStarted(DWORD operation) = 0;
    virtual void OperationProgress(DWORD value, DWORD total) = 0;
    virtual void OperationFinished() = 0;

    virtual void SnapShotBridgeCreate(DWORD magic) = 0;
    // Blocks until the controller has replied with the section's handle. Never call it on the
    // bridge's worker thread: only that thread reads the reply.
    virtual WORD SnapShotBridgeCreateSection() = 0;
    virtual void SnapShotBridgeCloseSection(WORD handle, WORD type, WORD version) = 0;
    // A count above 0xFFFFFFFF is refused before anything is sent.
    virtual void SnapShotBridgeWrite(WORD handle, size_t count, const void* pData) = 0;
    // Blocks until the controller has replied with the position, like SnapShotBridgeCreateSection.
    virtual int64_t SnapShotBridgeTell(WORD handle) = 0;
    virtual void SnapShotBridgeSeek(WORD handle, DWORD origin, int64_t offset) = 0;
    virtual void SnapShotBridgeAbort() = 0;
    virtual void SnapShotBridgeClose(DWORD snapshotIndex, const GUID& sequence,
                                     DWORD sequenceNumber) = 0;
    // A file snapshot is complete: the controller fetches the index file at `path`.
    virtual void SnapShotCoreDone(const WString& path, DWORD snapshotIndex, const GUID& sequence,
                                  DWORD sequenceNumber) = 0;
    // True once an error notification has been sent to the controller.
    virtual bool IsErrorReported() = 0;

protected:
    // Nobody owns a command processor through its control interface.
    virtual ~IBridgeControl() = default;
};
