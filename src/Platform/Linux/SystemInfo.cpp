#include "Platform/SystemInfo.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "Platform/Linux/NativeText.h"

namespace Platform {

namespace {

constexpr DWORD PlatformIdDevice = 3;
#if defined(__x86_64__)
constexpr DWORD ProcessorTypeAmd64 = 8664;
#else
constexpr DWORD ProcessorTypePentium = 586;
#endif
constexpr uintptr_t DefaultMinimumAddress = 0x10000;

// A number from a one-line file such as /proc/sys/vm/mmap_min_addr.
bool ReadNumberFile(const char* path, unsigned long long* value) {
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fscanf(file, "%llu", value) == 1;
    std::fclose(file);
    return ok;
}

// Reads "key : value" lines (the layout of /proc/cpuinfo, /proc/meminfo and /proc/self/status)
// and hands each to `visit` until it returns false or a blank line ends the first block.
template <typename Visit>
void ReadKeyValueFile(const char* path, Visit&& visit) {
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return;
    }
    char line[512];
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        std::string_view text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.remove_suffix(1);
        }
        if (text.empty()) {
            break;
        }
        const size_t colon = text.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        std::string_view key = text.substr(0, colon);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) {
            key.remove_suffix(1);
        }
        std::string_view value = text.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        if (!visit(key, value)) {
            break;
        }
    }
    std::fclose(file);
}

unsigned long long ParseUnsigned(std::string_view text) {
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    return value;
}

// The last byte a user process can map: the kernel's task size minus its guard page. A 32-bit
// process on a 64-bit kernel reaches almost 4 GiB; on a 32-bit kernel the split is at 3 GiB.
uintptr_t HighestUserAddress(DWORD pageSize) {
    if constexpr (sizeof(void*) == 8) {
        return (static_cast<uint64_t>(1) << 47) - pageSize - 1;
    } else {
        utsname names{};
        const bool kernel64 = uname(&names) == 0 && std::strcmp(names.machine, "x86_64") == 0;
        return kernel64 ? 0xFFFFDFFFu : 0xBFFFFFFFu;
    }
}

// Bytes this process has mapped between `lowest` and `highest`, from /proc/self/maps. Counting
// the mappings themselves (rather than VmSize) also holds when a 32-bit build runs under
// user-mode emulation, where VmSize is the emulator's own.
unsigned long long MappedBytesWithin(uintptr_t lowest, uintptr_t highest) {
    FILE* file = std::fopen("/proc/self/maps", "re");
    if (file == nullptr) {
        return 0;
    }
    unsigned long long total = 0;
    char line[512];
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        unsigned long long start = 0;
        unsigned long long end = 0;
        if (std::sscanf(line, "%llx-%llx", &start, &end) != 2 || end <= start) {
            continue;
        }
        start = std::max<unsigned long long>(start, lowest);
        end = std::min<unsigned long long>(end, static_cast<unsigned long long>(highest) + 1);
        if (end > start) {
            total += end - start;
        }
    }
    std::fclose(file);
    return total;
}

SIZE_T ClampToSize(unsigned long long value) {
    constexpr auto maximum = static_cast<unsigned long long>(static_cast<SIZE_T>(-1));
    return static_cast<SIZE_T>(value > maximum ? maximum : value);
}

}  // namespace

void GetSystemInfo(SYSTEM_INFO* info) {
    *info = SYSTEM_INFO{};
#if defined(__x86_64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    info->dwProcessorType = ProcessorTypeAmd64;
#else
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
    info->dwProcessorType = ProcessorTypePentium;
#endif
    const long pageSize = sysconf(_SC_PAGESIZE);
    info->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
    // Linux maps at page granularity; there is no coarser reservation unit.
    info->dwAllocationGranularity = info->dwPageSize;

    unsigned long long minimum = DefaultMinimumAddress;
    if (!ReadNumberFile("/proc/sys/vm/mmap_min_addr", &minimum) || minimum == 0) {
        minimum = DefaultMinimumAddress;
    }
    info->lpMinimumApplicationAddress = reinterpret_cast<void*>(static_cast<uintptr_t>(minimum));
    info->lpMaximumApplicationAddress =
        reinterpret_cast<void*>(HighestUserAddress(info->dwPageSize));

    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0) {
        for (unsigned cpu = 0; cpu < sizeof(UINT_PTR) * 8; ++cpu) {
            if (CPU_ISSET(cpu, &cpus)) {
                info->dwActiveProcessorMask |= static_cast<UINT_PTR>(1) << cpu;
            }
        }
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    info->dwNumberOfProcessors = online > 0 ? static_cast<DWORD>(online) : 1;

    unsigned long long family = 0;
    unsigned long long model = 0;
    unsigned long long stepping = 0;
    ReadKeyValueFile("/proc/cpuinfo", [&](std::string_view key, std::string_view value) {
        if (key == "cpu family") {
            family = ParseUnsigned(value);
        } else if (key == "model") {
            model = ParseUnsigned(value);
        } else if (key == "stepping") {
            stepping = ParseUnsigned(value);
        }
        return true;
    });
    info->wProcessorLevel = static_cast<WORD>(family);
    info->wProcessorRevision = static_cast<WORD>((model & 0xFF) << 8 | (stepping & 0xFF));
}

bool GetVersionEx(OSVERSIONINFO* info) {
    utsname names{};
    if (info == nullptr || uname(&names) != 0) {
        return false;
    }
    // "6.1.0-18-amd64" gives 6, 1, 0: the leading dot-separated numbers.
    DWORD numbers[3] = {};
    const char* p = names.release;
    for (DWORD& number : numbers) {
        if (*p < '0' || *p > '9') {
            break;
        }
        while (*p >= '0' && *p <= '9') {
            number = number * 10 + static_cast<DWORD>(*p++ - '0');
        }
        if (*p != '.') {
            break;
        }
        ++p;
    }
    info->dwMajorVersion = numbers[0];
    info->dwMinorVersion = numbers[1];
    info->dwBuildNumber = numbers[2];
    info->dwPlatformId = PlatformIdDevice;
    const WString version = Native::FromUtf8(names.version);
    const size_t length = std::min(version.size(), std::size(info->szCSDVersion) - 1);
    std::memcpy(info->szCSDVersion, version.data(), length * sizeof(WCHAR));
    info->szCSDVersion[length] = 0;
    return true;
}

void GlobalMemoryStatus(MEMORYSTATUS* status) {
    *status = MEMORYSTATUS{};
    unsigned long long totalKb = 0;
    unsigned long long freeKb = 0;
    unsigned long long availableKb = 0;
    unsigned long long buffersKb = 0;
    unsigned long long cachedKb = 0;
    unsigned long long swapTotalKb = 0;
    unsigned long long swapFreeKb = 0;
    bool hasAvailable = false;
    ReadKeyValueFile("/proc/meminfo", [&](std::string_view key, std::string_view value) {
        const unsigned long long kb = ParseUnsigned(value);
        if (key == "MemTotal") {
            totalKb = kb;
        } else if (key == "MemFree") {
            freeKb = kb;
        } else if (key == "MemAvailable") {
            availableKb = kb;
            hasAvailable = true;
        } else if (key == "Buffers") {
            buffersKb = kb;
        } else if (key == "Cached") {
            cachedKb = kb;
        } else if (key == "SwapTotal") {
            swapTotalKb = kb;
        } else if (key == "SwapFree") {
            swapFreeKb = kb;
        }
        return true;
    });
    if (!hasAvailable) {
        availableKb = freeKb + buffersKb + cachedKb;
    }
    if (availableKb > totalKb) {
        availableKb = totalKb;
    }
    status->dwMemoryLoad =
        totalKb == 0 ? 0 : static_cast<DWORD>((totalKb - availableKb) * 100 / totalKb);
    status->dwTotalPhys = ClampToSize(totalKb * 1024);
    status->dwAvailPhys = ClampToSize(availableKb * 1024);
    // The commit limit of the platform is memory plus paging file: here memory plus swap.
    status->dwTotalPageFile = ClampToSize((totalKb + swapTotalKb) * 1024);
    status->dwAvailPageFile = ClampToSize((availableKb + swapFreeKb) * 1024);

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const auto lowest = reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress);
    const auto highest = reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress);
    const unsigned long long totalVirtual = static_cast<unsigned long long>(highest - lowest) + 1;
    const unsigned long long used = MappedBytesWithin(lowest, highest);
    status->dwTotalVirtual = ClampToSize(totalVirtual);
    status->dwAvailVirtual = ClampToSize(used < totalVirtual ? totalVirtual - used : 0);
}

WString GetKernelRelease() {
    utsname names{};
    if (uname(&names) != 0) {
        return WString();
    }
    return Native::FromUtf8(names.release);
}

}  // namespace Platform
