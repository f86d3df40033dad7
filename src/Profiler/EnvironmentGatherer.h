// The environment record: where a snapshot was taken (this program's build, the profiled process,
// the runtime, the device and its OS). The slow-changing part is gathered once at initialisation;
// the whole record is written as the first section of every snapshot.
#pragma once

#include <string_view>

#include "Bridge/ISnapShotStorage.h"
#include "Bridge/IWriteBridgeStream.h"
#include "Platform/Clock.h"
#include "Platform/SystemInfo.h"
#include "Platform/Types.h"

class EnvironmentGatherer {
public:
    // Runtime types.
    static constexpr DWORD RuntimeUnknown = 0;
    static constexpr DWORD RuntimeDesktop = 1;
    static constexpr DWORD RuntimeCore = 2;
    static constexpr DWORD RuntimeSmartDevice = 200;

    static constexpr WORD SectionType = 0;
    static constexpr WORD SectionVersion = 4;

    EnvironmentGatherer();

    // Logs the runtime description, keeps it and reads the system, OS-version and device image
    // version. Raises "Can't get version info", "Can't open registry key", "Can't get register
    // value" or "Invalid Aku type".
    void Gather(const GUID& processGuid, BYTE interfaceLevel, DWORD runtimeType, WORD major,
                WORD minor, WORD build, WORD revision);

    // Writes the record as one section (type 0, version 4). `bridgeText` is the controller's text
    // from the handshake, written as held. On failure the section is left open: the caller
    // abandons the whole snapshot.
    void Write(ISnapShotStorage& storage, std::string_view bridgeText, DWORD snapshotIndex,
               const GUID& sequence, DWORD sequenceNumber) const;

    // The runtime type's name in the log, "???" for a type without one.
    static const char* RuntimeTypeName(DWORD runtimeType);
    // Build constants: "a.b.c.d" into four numbers ("Invalid build version format"), and
    // "dd.mm.yyyy hh:mm:ss" into a file time ("Invalid build time format", "Can't convert local
    // time").
    static void ParseBuildVersion(const char* pText, WORD (&version)[4]);
    static Platform::FILETIME ParseBuildTime(const char* pText);

private:
    void WriteFields(IWriteBridgeStream& stream, const Platform::FILETIME& now,
                     std::string_view bridgeText, DWORD snapshotIndex, const GUID& sequence,
                     DWORD sequenceNumber) const;
    void WriteSystemInfo(IWriteBridgeStream& stream) const;

    GUID m_ProcessGuid;
    BYTE m_InterfaceLevel = 0;
    DWORD m_RuntimeType = RuntimeUnknown;
    WORD m_RuntimeVersion[4] = {};
    Platform::SYSTEM_INFO m_SystemInfo;
    DWORD m_OsMajorVersion = 0;
    DWORD m_OsMinorVersion = 0;
    DWORD m_OsBuildNumber = 0;
    DWORD m_OsPlatformId = 0;
    WString m_ServicePack;
    WString m_DeviceImageVersion;
};
