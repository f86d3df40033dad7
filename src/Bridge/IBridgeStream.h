// The connection to the controller as the command processor uses it: commands and replies are read
// from it, messages are written to it. The bridge is one.
#pragma once

#include "Bridge/IReadBridgeStream.h"
#include "Bridge/IWriteBridgeStream.h"

class IBridgeStream : public IReadBridgeStream, public IWriteBridgeStream {
public:
    ~IBridgeStream() override = default;
};
