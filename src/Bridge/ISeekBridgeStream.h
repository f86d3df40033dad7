// Positioning within a stream. Positions and offsets are 32-bit; a position that does not fit is a
// failure of the stream that holds it.
#pragma once

#include <cstdint>

class ISeekBridgeStream {
public:
    // Seek origins.
    static constexpr int32_t SeekBegin = 0;
    static constexpr int32_t SeekCurrent = 1;
    static constexpr int32_t SeekEnd = 2;

    virtual ~ISeekBridgeStream() = default;

    virtual int32_t Tell() = 0;
    virtual void Seek(int32_t origin, int32_t offset) = 0;
};
