// One section of a snapshot streamed to the controller: writes, tells and seeks become the
// command processor's section messages under the handle the controller assigned.
#pragma once

#include "Bridge/IBridgeControl.h"
#include "Bridge/IWriteSeekBridgeStream.h"
#include "Platform/Types.h"

class BridgeSectionStream : public IWriteSeekBridgeStream {
public:
    BridgeSectionStream(IBridgeControl* pControl, WORD handle);
    ~BridgeSectionStream() override = default;

    BridgeSectionStream(const BridgeSectionStream&) = delete;
    BridgeSectionStream& operator=(const BridgeSectionStream&) = delete;

    // An empty write sends nothing.
    void Write(const void* data, size_t count) override;
    // Asks the controller; a position beyond the signed 32-bit range raises "Too large section
    // position".
    int32_t Tell() override;
    // Range checks are the controller's.
    void Seek(int32_t origin, int32_t offset) override;

    WORD GetHandle() const { return m_Handle; }

private:
    IBridgeControl* const m_pControl;
    const WORD m_Handle;
};
