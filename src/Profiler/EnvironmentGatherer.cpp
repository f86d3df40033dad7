#include "Profiler/EnvironmentGatherer.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Platform/Process.h"
#include "Platform/Registry.h"
#include "Util/BuildInfo.h"
#include "Util/Log.h"
#include "Util/ScopedRegistryKey.h"

namespace {

constexpr const WCHAR* VersionsKey = u"SYSTEM\\Versions";
constexpr const WCHAR* DeviceImageVersionValue = u"Aku";
constexpr BYTE RecordMarker = 4;

Platform::FILETIME ToFileTime(const Platform::SYSTEMTIME& time) {
    Platform::FILETIME fileTime{};
    if (!Platform::SystemTimeToFileTime(&time, &fileTime)) {
        throw std::runtime_error("Can't convert local time");
    }
    return fileTime;
}

// The record keeps 32-bit address fields on every build; a wider value saturates.
DWORD Clamp32(UINT_PTR value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(value);
}

DWORD Clamp32(const void* address) {
    return Clamp32(reinterpret_cast<UINT_PTR>(address));
}

}  // namespace

EnvironmentGatherer::EnvironmentGatherer() : m_ProcessGuid{}, m_SystemInfo{} {}

const char* EnvironmentGatherer::RuntimeTypeName(DWORD runtimeType) {
    switch (runtimeType) {
        case RuntimeUnknown:
            return "unknown";
        case RuntimeDesktop:
            return "desktop";
        case RuntimeCore:
            return "core";
        case RuntimeSmartDevice:
            return "smartDevice";
        default:
            return "???";
    }
}

void EnvironmentGatherer::Gather(const GUID& processGuid, BYTE interfaceLevel, DWORD runtimeType,
                                 WORD major, WORD minor, WORD build, WORD revision) {
    // Not tied to a component: written once per initialisation.
    Log::Format("ES::Gather runtimeInterface=%u runtimeType='%s' runtimeVersion=%hu.%hu.%hu.%hu",
                static_cast<unsigned>(interfaceLevel), RuntimeTypeName(runtimeType), major, minor,
                build, revision);

    m_ProcessGuid = processGuid;
    m_InterfaceLevel = interfaceLevel;
    m_RuntimeType = runtimeType;
    m_RuntimeVersion[0] = major;
    m_RuntimeVersion[1] = minor;
    m_RuntimeVersion[2] = build;
    m_RuntimeVersion[3] = revision;

    Platform::GetSystemInfo(&m_SystemInfo);
    Platform::OSVERSIONINFO version{};
    if (!Platform::GetVersionEx(&version)) {
        throw std::runtime_error("Can't get version info");
    }
    m_OsMajorVersion = version.dwMajorVersion;
    m_OsMinorVersion = version.dwMinorVersion;
    m_OsBuildNumber = version.dwBuildNumber;
    m_OsPlatformId = version.dwPlatformId;
    size_t length = 0;
    while (length < std::size(version.szCSDVersion) && version.szCSDVersion[length] != 0) {
        ++length;
    }
    m_ServicePack.assign(version.szCSDVersion, length);

    ScopedRegistryKey key;
    key.Open(Platform::RegistryRoot::LocalMachine, VersionsKey);
    DWORD type = Platform::REG_NONE;
    std::vector<BYTE> data;
    key.QueryValue(DeviceImageVersionValue, type, data);
    if (type != Platform::REG_SZ) {
        throw std::runtime_error("Invalid Aku type");
    }
    m_DeviceImageVersion = ScopedRegistryKey::StringOf(data);
    key.Close();
}

void EnvironmentGatherer::Write(ISnapShotStorage& storage, std::string_view bridgeText,
                                DWORD snapshotIndex, const GUID& sequence,
                                DWORD sequenceNumber) const {
    Platform::SYSTEMTIME localTime{};
    Platform::GetLocalTime(&localTime);
    const Platform::FILETIME now = ToFileTime(localTime);

    IWriteSeekBridgeStream* pSection = storage.CreateSection();
    WriteFields(*pSection, now, bridgeText, snapshotIndex, sequence, sequenceNumber);
    storage.CloseSection(pSection, SectionType, SectionVersion);
}

void EnvironmentGatherer::WriteFields(IWriteBridgeStream& stream, const Platform::FILETIME& now,
                                      std::string_view bridgeText, DWORD snapshotIndex,
                                      const GUID& sequence, DWORD sequenceNumber) const {
    WORD buildVersion[4];
    ParseBuildVersion(BuildInfo::Version, buildVersion);
    const Platform::FILETIME buildTime = ParseBuildTime(BuildInfo::Time);

    for (WORD part : buildVersion) {
        WriteU16(stream, part);
    }
    WriteU32(stream, buildTime.dwLowDateTime);
    WriteU32(stream, buildTime.dwHighDateTime);
    WriteString(stream, std::string_view());
    WriteString(stream, std::u16string_view(Platform::ComposeProcessCommandLine()));
    WriteGuid(stream, m_ProcessGuid);
    WriteU32(stream, snapshotIndex);
    WriteGuid(stream, sequence);
    WriteU32(stream, sequenceNumber);
    WriteU32(stream, now.dwLowDateTime);
    WriteU32(stream, now.dwHighDateTime);
    WriteU8(stream, RecordMarker);
    WriteSystemInfo(stream);
    WriteU8(stream, m_InterfaceLevel);
    WriteU8(stream, static_cast<BYTE>(m_RuntimeType & 0xFF));
    for (WORD part : m_RuntimeVersion) {
        WriteU16(stream, part);
    }
    WriteU32(stream, m_OsMajorVersion);
    WriteU32(stream, m_OsMinorVersion);
    WriteU32(stream, m_OsBuildNumber);
    WriteU32(stream, m_OsPlatformId);
    WriteString(stream, std::u16string_view(m_ServicePack));
    // Fields the record format reserves; always zero.
    for (int i = 0; i < 4; ++i) {
        WriteU16(stream, 0);
    }
    WriteU32(stream, 0);
    WriteU8(stream, 0);
    WriteString(stream, std::u16string_view(m_DeviceImageVersion));
    WriteString(stream, bridgeText);
}

void EnvironmentGatherer::WriteSystemInfo(IWriteBridgeStream& stream) const {
    const Platform::SYSTEM_INFO& info = m_SystemInfo;
    WriteU16(stream, info.wProcessorArchitecture);
    WriteU32(stream, info.dwPageSize);
    WriteU32(stream, Clamp32(info.lpMinimumApplicationAddress));
    WriteU32(stream, Clamp32(info.lpMaximumApplicationAddress));
    WriteU32(stream, Clamp32(info.dwActiveProcessorMask));
    WriteU32(stream, info.dwNumberOfProcessors);
    WriteU32(stream, info.dwAllocationGranularity);
    WriteU16(stream, info.wProcessorLevel);
    WriteU16(stream, info.wProcessorRevision);
    WriteU16(stream, info.wProcessorArchitecture);
}

void EnvironmentGatherer::ParseBuildVersion(const char* pText, WORD (&version)[4]) {
    if (std::sscanf(pText, "%hu.%hu.%hu.%hu", &version[0], &version[1], &version[2], &version[3]) !=
        4) {
        throw std::runtime_error("Invalid build version format");
    }
}

Platform::FILETIME EnvironmentGatherer::ParseBuildTime(const char* pText) {
    Platform::SYSTEMTIME time{};
    if (std::sscanf(pText, "%hu.%hu.%hu %hu:%hu:%hu", &time.wDay, &time.wMonth, &time.wYear,
                    &time.wHour, &time.wMinute, &time.wSecond) != 6) {
        throw std::runtime_error("Invalid build time format");
    }
    return ToFileTime(time);
}
