// A writable stream with a position: the snapshot section streams.
#pragma once

#include "Bridge/ISeekBridgeStream.h"
#include "Bridge/IWriteBridgeStream.h"

class IWriteSeekBridgeStream : public IWriteBridgeStream, public ISeekBridgeStream {
public:
    ~IWriteSeekBridgeStream() override = default;
};
