#include "Controller/EnvironmentSection.h"

#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/SpanReadStream.h"
#include "Controller/WireText.h"

namespace Controller {

namespace {

uint64_t ReadFileTime(SpanReadStream& stream) {
    const uint64_t low = ReadU32(stream);
    return low | static_cast<uint64_t>(ReadU32(stream)) << 32;
}

std::array<uint16_t, 4> ReadVersion(SpanReadStream& stream) {
    std::array<uint16_t, 4> version{};
    for (uint16_t& part : version) {
        part = ReadU16(stream);
    }
    return version;
}

// The bytes of a string; a length beyond the section's end is a cut-short section.
std::string ReadBytes(SpanReadStream& stream) {
    const uint32_t length = ReadCounter(stream);
    if (length > stream.GetRemaining()) {
        throw std::runtime_error("Environment record is cut short");
    }
    std::string bytes(length, '\0');
    stream.Read(bytes.data(), length);
    return bytes;
}

std::string ReadText(SpanReadStream& stream) {
    return DecodeWireText(ReadBytes(stream));
}

void ReadSystemInfo(SpanReadStream& stream, EnvironmentRecord& record) {
    const uint8_t marker = ReadU8(stream);
    if (marker != EnvironmentRecord::SystemInfoMarker) {
        throw std::runtime_error("Environment record has system information marker " +
                                 std::to_string(marker) + "; expected 4");
    }
    record.processorArchitecture = ReadU16(stream);
    record.pageSize = ReadU32(stream);
    record.minimumAddress = ReadU32(stream);
    record.maximumAddress = ReadU32(stream);
    record.activeProcessorMask = ReadU32(stream);
    record.processorCount = ReadU32(stream);
    record.allocationGranularity = ReadU32(stream);
    record.processorLevel = ReadU16(stream);
    record.processorRevision = ReadU16(stream);
    // The architecture once more; the first one counts.
    ReadU16(stream);
}

}  // namespace

std::string EnvironmentRecord::RuntimeTypeName(uint8_t type) {
    switch (type) {
        case RuntimeUnknown:
            return "unknown";
        case RuntimeDesktop:
            return "desktop";
        case RuntimeCore:
            return "core";
        case RuntimeSmartDevice:
            return "smartDevice";
        default:
            return "type " + std::to_string(type);
    }
}

EnvironmentRecord ReadEnvironmentSection(const SnapshotSection& section) {
    if (section.version != EnvironmentRecord::Version) {
        throw std::runtime_error("Environment record has version " +
                                 std::to_string(section.version) + "; this qvprof reads version " +
                                 std::to_string(EnvironmentRecord::Version));
    }
    SpanReadStream stream(section.bytes.data(), section.bytes.size(),
                          "Environment record is cut short");
    EnvironmentRecord record;
    record.profilerVersion = ReadVersion(stream);
    record.profilerBuildTime = ReadFileTime(stream);
    ReadText(stream);
    record.commandLine = ReadText(stream);
    record.processGuid = ReadGuid(stream);
    record.snapshotIndex = ReadU32(stream);
    record.sequence = ReadGuid(stream);
    record.sequenceNumber = ReadU32(stream);
    record.localTime = ReadFileTime(stream);
    ReadSystemInfo(stream, record);
    record.interfaceLevel = ReadU8(stream);
    record.runtimeType = ReadU8(stream);
    record.runtimeVersion = ReadVersion(stream);
    record.osMajorVersion = ReadU32(stream);
    record.osMinorVersion = ReadU32(stream);
    record.osBuildNumber = ReadU32(stream);
    record.osPlatformId = ReadU32(stream);
    record.servicePack = ReadText(stream);
    // Reserved fields: four u16, a u32 and a u8.
    BYTE reserved[13];
    stream.Read(reserved, sizeof(reserved));
    record.deviceImageVersion = ReadText(stream);
    record.controllerText = ReadBytes(stream);
    if (stream.GetRemaining() != 0) {
        throw std::runtime_error("Environment record has " + std::to_string(stream.GetRemaining()) +
                                 " bytes after its last field");
    }
    return record;
}

}  // namespace Controller
