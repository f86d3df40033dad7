// The source side: the bridge connection, module files, temporary files.
#pragma once

#include <cstddef>

class IReadBridgeStream {
public:
    virtual ~IReadBridgeStream() = default;

    // Fills exactly `count` bytes or raises; running out of data is a failure, never a wait.
    virtual void Read(void* buffer, size_t count) = 0;
};
