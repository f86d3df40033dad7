// Reads the environment record, the first section of every snapshot: where the snapshot was taken
// (the profiler's build, the profiled process, the runtime, the machine and its OS).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Controller/SnapshotSection.h"
#include "Platform/Types.h"

namespace Controller {

struct EnvironmentRecord {
    static constexpr uint16_t Version = 4;
    static constexpr uint8_t SystemInfoMarker = 4;

    // Runtime types.
    static constexpr uint8_t RuntimeUnknown = 0;
    static constexpr uint8_t RuntimeDesktop = 1;
    static constexpr uint8_t RuntimeCore = 2;
    static constexpr uint8_t RuntimeSmartDevice = 200;

    std::array<uint16_t, 4> profilerVersion{};
    uint64_t profilerBuildTime = 0;  // file time: 100 ns units since 1601-01-01
    std::string commandLine;
    GUID processGuid{};
    uint32_t snapshotIndex = 0;
    GUID sequence{};
    uint32_t sequenceNumber = 0;
    uint64_t localTime = 0;  // file time, the machine's local time when the snapshot began

    uint16_t processorArchitecture = 0;  // 0 x86, 9 x86-64
    uint32_t pageSize = 0;
    uint32_t minimumAddress = 0;
    uint32_t maximumAddress = 0;
    uint32_t activeProcessorMask = 0;
    uint32_t processorCount = 0;
    uint32_t allocationGranularity = 0;
    uint16_t processorLevel = 0;
    uint16_t processorRevision = 0;

    uint8_t interfaceLevel = 0;
    uint8_t runtimeType = RuntimeUnknown;
    std::array<uint16_t, 4> runtimeVersion{};
    uint32_t osMajorVersion = 0;
    uint32_t osMinorVersion = 0;
    uint32_t osBuildNumber = 0;
    uint32_t osPlatformId = 0;
    std::string servicePack;
    std::string deviceImageVersion;
    // The controller's free text from the handshake, bytes as the profiler held them.
    std::string controllerText;

    // "unknown", "desktop", "core", "smartDevice", or "type N".
    static std::string RuntimeTypeName(uint8_t type);
};

// Raises std::runtime_error when the section has another version, is cut short, has a wrong
// system-information marker or carries bytes after its last field.
EnvironmentRecord ReadEnvironmentSection(const SnapshotSection& section);

}  // namespace Controller
