// A readable and writable stream. Its sub-objects come in the order write, seek, read, seek; both
// seek sub-objects are served by the one final Tell and Seek, so they share the position.
// Callers that need a seek interface take it through the write or the read side.
#pragma once

#include "Bridge/IReadSeekBridgeStream.h"
#include "Bridge/IWriteSeekBridgeStream.h"

class IReadWriteBridgeStream : public IWriteSeekBridgeStream, public IReadSeekBridgeStream {
public:
    ~IReadWriteBridgeStream() override = default;

    int32_t Tell() override = 0;
    void Seek(int32_t origin, int32_t offset) override = 0;

    IWriteSeekBridgeStream& AsWriteSeek() { return *this; }
    IReadSeekBridgeStream& AsReadSeek() { return *this; }
};
