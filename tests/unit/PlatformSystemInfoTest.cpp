#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Platform/SystemInfo.h"

using namespace Platform;

TEST(PlatformSystemInfo, DescribesThisBuildAndMachine) {
    SYSTEM_INFO info;
    std::memset(&info, 0xCC, sizeof(info));
    GetSystemInfo(&info);
    if (sizeof(void*) == 8) {
        EXPECT_EQ(info.wProcessorArchitecture, 9);
        EXPECT_EQ(info.dwProcessorType, 8664u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress),
                  static_cast<uintptr_t>(0x7FFFFFFFEFFFull));
    } else {
        EXPECT_EQ(info.wProcessorArchitecture, 0);
        EXPECT_EQ(info.dwProcessorType, 586u);
    }
    EXPECT_EQ(info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(info.dwAllocationGranularity, info.dwPageSize);
    const auto lowest = reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress);
    const auto highest = reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress);
    int local = 0;
    const auto stackAddress = reinterpret_cast<uintptr_t>(&local);
    EXPECT_GT(lowest, 0u);
    EXPECT_GE(stackAddress, lowest);
    EXPECT_LE(stackAddress, highest);
    EXPECT_NE(info.dwActiveProcessorMask, 0u);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_GT(info.wProcessorLevel, 0);  // the x86 family number
}

TEST(PlatformSystemInfo, VersionComesFromTheKernelRelease) {
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    ASSERT_GE(std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build), 2);
    OSVERSIONINFO info;
    std::memset(&info, 0xCC, sizeof(info));
    ASSERT_TRUE(GetVersionEx(&info));
    EXPECT_EQ(info.dwMajorVersion, major);
    EXPECT_EQ(info.dwMinorVersion, minor);
    EXPECT_EQ(info.dwBuildNumber, build);
    EXPECT_EQ(info.dwPlatformId, 3u);
    WString version(info.szCSDVersion);
    const std::string expected = std::string(names.version).substr(0, 127);
    EXPECT_EQ(version, WString(expected.begin(), expected.end()));
    const std::string release = names.release;
    EXPECT_EQ(GetKernelRelease(), WString(release.begin(), release.end()));
    EXPECT_FALSE(GetVersionEx(nullptr));
}

TEST(PlatformSystemInfo, MemoryStatusIsConsistent) {
    MEMORYSTATUS status;
    std::memset(&status, 0xCC, sizeof(status));
    GlobalMemoryStatus(&status);
    EXPECT_GT(status.dwTotalPhys, 0u);
    EXPECT_LE(status.dwAvailPhys, status.dwTotalPhys);
    EXPECT_LE(status.dwMemoryLoad, 100u);
    EXPECT_GE(status.dwTotalPageFile, status.dwTotalPhys);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const uintptr_t span = reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress) -
                           reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress) + 1;
    EXPECT_EQ(status.dwTotalVirtual, span);
    EXPECT_LT(status.dwAvailVirtual, status.dwTotalVirtual);  // this process maps something
    EXPECT_GT(status.dwAvailVirtual, 0u);
}
