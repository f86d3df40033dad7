// System, OS-version and memory-status information, read from the kernel.
#pragma once

#include "Platform/Types.h"

namespace Platform {

constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    DWORD dwPageSize;
    void* lpMinimumApplicationAddress;
    void* lpMaximumApplicationAddress;
    UINT_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};

struct OSVERSIONINFO {
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];  // service pack text, zero-terminated
};

struct MEMORYSTATUS {
    DWORD dwMemoryLoad;  // percent in use
    SIZE_T dwTotalPhys;
    SIZE_T dwAvailPhys;
    SIZE_T dwTotalPageFile;
    SIZE_T dwAvailPageFile;
    SIZE_T dwTotalVirtual;
    SIZE_T dwAvailVirtual;
};

void GetSystemInfo(SYSTEM_INFO* info);
bool GetVersionEx(OSVERSIONINFO* info);
void GlobalMemoryStatus(MEMORYSTATUS* status);

// The kernel release text (used as the device image version when none is configured).
WString GetKernelRelease();

}  // namespace Platform
