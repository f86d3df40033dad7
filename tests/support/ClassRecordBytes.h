// Class records as the class data section carries them, built by hand for tests of the class
// gatherer and of the controller's class table.
#pragma once

#include <cstdint>
#include <vector>

#include "Platform/Types.h"

namespace ClassRecordDetail {

inline void Append(std::vector<BYTE>& bytes, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
    }
}

}  // namespace ClassRecordDetail

// Metadata index, token, rank, parent position, argument count and argument positions.
inline std::vector<BYTE> ClassRecordBytes(uint32_t index, uint32_t token, uint32_t rank,
                                          int64_t parent,
                                          const std::vector<int64_t>& arguments = {}) {
    using ClassRecordDetail::Append;
    std::vector<BYTE> bytes;
    Append(bytes, index, 4);
    Append(bytes, token, 4);
    Append(bytes, rank, 4);
    Append(bytes, static_cast<uint64_t>(parent), 8);
    Append(bytes, arguments.size(), 2);
    for (int64_t argument : arguments) {
        Append(bytes, static_cast<uint64_t>(argument), 8);
    }
    return bytes;
}

// A record appended but not yet completed: -1 for the parent, count 0xFFFF and `slots`
// placeholder arguments of -1.
inline std::vector<BYTE> UnfinishedClassRecordBytes(uint32_t index, uint32_t token, uint32_t rank,
                                                    size_t slots) {
    std::vector<BYTE> bytes = ClassRecordBytes(index, token, rank, -1);
    bytes[20] = bytes[21] = 0xFF;
    bytes.resize(bytes.size() + 8 * slots, 0xFF);
    return bytes;
}
