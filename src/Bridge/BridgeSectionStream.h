// One section of a snapshot streamed to the controller: writes, tells and seeks become the
// command processor's section messages under the handle the controller assigned.
//
// Section writers write counters a byte at a time, so small writes are collected in a buffer of
// the stream's own and leave as one section write when it fills, before a tell or a seek (the
// controller's position must include them) and when the section is closed. The controller receives
// the same bytes in the same order as without the buffer.
#pragma once

#include <memory>

#include "Bridge/IBridgeControl.h"
#include "Bridge/IWriteSeekBridgeStream.h"
#include "Platform/Types.h"

class BridgeSectionStream : public IWriteSeekBridgeStream {
public:
    // Bytes collected before they are sent as one section write.
    static constexpr size_t BufferSize = 64 * 1024;

    BridgeSectionStream(IBridgeControl* pControl, WORD handle);
    // Bytes still collected are dropped: a section destroyed without being closed is abandoned.
    ~BridgeSectionStream() override = default;

    BridgeSectionStream(const BridgeSectionStream&) = delete;
    BridgeSectionStream& operator=(const BridgeSectionStream&) = delete;

    // An empty write sends nothing. A failure to send collected bytes raises from the write that
    // sends them; those bytes are lost with the snapshot.
    void Write(const void* data, size_t count) override;
    // Sends the collected bytes, then asks the controller; a position beyond the signed 32-bit
    // range raises "Too large section position".
    int32_t Tell() override;
    // Sends the collected bytes first. Range checks are the controller's.
    void Seek(int32_t origin, int32_t offset) override;
    // Sends the collected bytes, if any, as one section write. The storage calls it before the
    // section is closed.
    void Flush();

    WORD GetHandle() const { return m_Handle; }

private:
    IBridgeControl* const m_pControl;
    const WORD m_Handle;

    // Allocated once per stream; the writer's thread alone touches it (one writer per section).
    std::unique_ptr<BYTE[]> m_pBuffer;
    size_t m_Used = 0;
};
