#include "Controller/ModulePathSection.h"

#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/SpanReadStream.h"

namespace Controller {

namespace {

uint32_t ReadIndex(SpanReadStream& stream, uint8_t width) {
    BYTE bytes[4] = {};
    stream.Read(bytes, width);
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::vector<ModulePaths> ReadModulePathSection(const SnapshotSection& section) {
    SpanReadStream stream(section.bytes.data(), section.bytes.size(),
                          "Module path section is cut short");
    const uint8_t width = ReadU8(stream);
    if (width < 1 || width > 4) {
        throw std::runtime_error("Module path section has index width " + std::to_string(width) +
                                 "; expected 1 to 4");
    }
    const uint32_t count = ReadU32(stream);
    // An entry takes at least its index and its u16 path count.
    if (count > stream.GetRemaining() / (width + 2u)) {
        throw std::runtime_error("Module path section announces " + std::to_string(count) +
                                 " entries, more than its bytes can hold");
    }
    std::vector<ModulePaths> entries(count);
    for (ModulePaths& entry : entries) {
        entry.index = ReadIndex(stream, width);
        const uint16_t pathCount = ReadU16(stream);
        entry.paths.reserve(pathCount);
        for (uint16_t i = 0; i < pathCount; ++i) {
            entry.paths.push_back(ReadString(stream));
        }
    }
    if (stream.GetRemaining() != 0) {
        throw std::runtime_error("Module path section has " +
                                 std::to_string(stream.GetRemaining()) +
                                 " bytes after its last entry");
    }
    return entries;
}

}  // namespace Controller
