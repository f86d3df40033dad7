// The sink side of every byte the profiler sends: the bridge connection, snapshot sections, files.
#pragma once

#include <cstddef>

class IWriteBridgeStream {
public:
    virtual ~IWriteBridgeStream() = default;

    // Writes all `count` bytes or raises; a request is never written in part silently.
    virtual void Write(const void* data, size_t count) = 0;
};
