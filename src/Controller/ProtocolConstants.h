// The fixed values of the bridge protocol as the controller sees it: identifiers exchanged in the
// handshake, the codes of the commands we send and of the messages the profiler sends.
#pragma once

#include <cstdint>

#include "Platform/Types.h"

namespace Controller {

// {E7A72A5E-091C-44AB-9017-2914A3E9CB0D}
constexpr GUID BridgeProtocolGuid = {0xE7A72A5E, 0x091C, 0x44AB,
                                     {0x90, 0x17, 0x29, 0x14, 0xA3, 0xE9, 0xCB, 0x0D}};
// {D65C00BF-B0D3-48FF-8D91-F4BEC378DBB9}: the tracing and sampling kinds.
constexpr GUID PerformanceClientGuid = {0xD65C00BF, 0xB0D3, 0x48FF,
                                        {0x8D, 0x91, 0xF4, 0xBE, 0xC3, 0x78, 0xDB, 0xB9}};
// {F19A68A9-CA9B-4A2E-80C6-8E21F080EAFF}: the memory kind.
constexpr GUID MemoryClientGuid = {0xF19A68A9, 0xCA9B, 0x4A2E,
                                   {0x80, 0xC6, 0x8E, 0x21, 0xF0, 0x80, 0xEA, 0xFF}};

// Snapshot magics of the two kinds ("QVPF", "QVME" as little-endian u32).
constexpr uint32_t PerformanceSnapshotMagic = 0x46505651;
constexpr uint32_t MemorySnapshotMagic = 0x454D5651;

// Snapshot types chosen in the handshake and by ChangeSnapShotType.
constexpr uint8_t SnapshotTypeFileSystem = 0;
constexpr uint8_t SnapshotTypeBridgeStream = 1;

// Control kinds chosen in the handshake.
constexpr uint8_t ControlKindManual = 0;
constexpr uint8_t ControlKindApi = 1;

// Controller to profiler.
enum class CommandCode : uint8_t {
    Start = 0x10,
    StopDrop = 0x11,
    StopSave = 0x12,
    ForceGC = 0x20,
    Dump = 0x21,
    SectionCreateResult = 0xE1,
    TellResult = 0xE4,
    ChangeLogMask = 0xFD,
    ChangeSnapShotType = 0xFE,
    Idle = 0xFF,
};

// Profiler to controller.
enum class MessageCode : uint8_t {
    Started = 0x90,
    Stopped = 0x91,
    Done = 0xA0,
    SnapshotCreate = 0xE0,
    SectionCreate = 0xE1,
    SectionClose = 0xE2,
    SectionWrite = 0xE3,
    SectionTell = 0xE4,
    SectionSeek = 0xE5,
    SnapshotAbort = 0xE6,
    SnapshotClose = 0xE7,
    SnapshotCoreDone = 0xEF,
    OperationStarted = 0xF0,
    OperationFinished = 0xF1,
    OperationProgress = 0xF2,
    LogNotification = 0xFE,
};

}  // namespace Controller
