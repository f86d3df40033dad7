// A readable stream with a position: module images and other inputs read at offsets.
#pragma once

#include "Bridge/IReadBridgeStream.h"
#include "Bridge/ISeekBridgeStream.h"

class IReadSeekBridgeStream : public IReadBridgeStream, public ISeekBridgeStream {
public:
    ~IReadSeekBridgeStream() override = default;
};
