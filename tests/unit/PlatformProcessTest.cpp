// The platform layer's process, module, system, clock and file system calls on this machine.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "Platform/Clock.h"
#include "Platform/FileSystem.h"
#include "Platform/Linux/ModuleVersion.h"
#include "Platform/Process.h"
#include "Platform/SystemInfo.h"
#include "support/ScopedVariable.h"
#include "support/ScratchDirectory.h"

using namespace Platform;

TEST(PlatformProcess, CommandLinesQuoteOnlyArgumentsWithBlanks) {
    EXPECT_EQ(JoinCommandLineArguments({}), u"");
    EXPECT_EQ(JoinCommandLineArguments({u"run", u"my file.txt", u"x", u" "}),
              u"run \"my file.txt\" x \" \"");
    EXPECT_EQ(JoinCommandLineArguments({u"a\tb", u"", u"c"}), u"a\tb  c");
    EXPECT_EQ(ComposeCommandLine(u"/opt/app/run", u""), u"\"/opt/app/run\"");
    EXPECT_EQ(ComposeCommandLine(u"/opt/my app/run", u"-x \"a b\""),
              u"\"/opt/my app/run\" -x \"a b\"");

    WString path;
    ASSERT_TRUE(GetExecutablePath(&path));
    EXPECT_EQ(path.substr(path.rfind(u'/') + 1), u"unit_tests");
    const WString line = ComposeProcessCommandLine();
    EXPECT_EQ(line, ComposeCommandLine(path, GetCommandLineArguments()));
    EXPECT_EQ(line.rfind(u"\"" + path + u"\"", 0), 0u);
}

TEST(PlatformProcess, IdsAreTheKernelIdsAlsoInAForkedChildAndNamesAreCut) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(syscall(SYS_gettid)));
    const DWORD mine = GetCurrentThreadId();  // cached in this thread before the fork
    const auto [other, comm] =
        std::async(std::launch::async, [] {
            EXPECT_TRUE(SetCurrentThreadName("QV sampling thread"));
            std::ifstream file("/proc/self/task/" + std::to_string(GetCurrentThreadId()) + "/comm");
            std::string name;
            std::getline(file, name);
            EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(syscall(SYS_gettid)));
            return std::make_pair(GetCurrentThreadId(), name);
        }).get();
    EXPECT_NE(other, mine);
    EXPECT_EQ(comm, "QV sampling thr");

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(GetCurrentThreadId() == static_cast<DWORD>(getpid()) && GetCurrentThreadId() != mine
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlatformProcess, LoadedModulesAreFoundByFileNameWithTheirVersion) {
    const ModuleHandle program = GetModuleHandle(u"unit_tests");
    ASSERT_NE(program, nullptr);
    WString programPath;
    WString executable;
    ASSERT_TRUE(GetModuleFileName(program, &programPath));
    ASSERT_TRUE(GetExecutablePath(&executable));
    EXPECT_EQ(programPath, executable);
    const ModuleHandle library = GetModuleHandle(u"libstdc++.so.6");
    ASSERT_NE(library, nullptr);
    WString libraryPath;
    ASSERT_TRUE(GetModuleFileName(library, &libraryPath));
    EXPECT_EQ(libraryPath.front(), u'/');
    EXPECT_EQ(libraryPath.substr(libraryPath.rfind(u'/') + 1), u"libstdc++.so.6");
    FileVersion version{};
    ASSERT_TRUE(GetModuleVersion(library, &version));
    EXPECT_EQ(version.major, 6);
    EXPECT_EQ(GetModuleHandle(u"stdc++.so.6"), nullptr);  // the whole last component must match
    EXPECT_EQ(GetModuleHandle(u"no-such-module.so"), nullptr);
    EXPECT_EQ(GetModuleHandle(u""), nullptr);
    EXPECT_FALSE(GetModuleFileName(nullptr, &libraryPath));
    EXPECT_FALSE(GetModuleVersion(nullptr, &version));

    // From the file name, or else a versioned folder.
    const struct {
        const char* path;
        bool found;
        FileVersion version;
    } cases[] = {
        {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30", true, {6, 0, 30, 0}},
        {"/lib/libc.so.6", true, {6, 0, 0, 0}},
        {"/lib/libx.so.1.2.3.4", true, {1, 2, 3, 4}},
        {"/usr/share/dotnet/shared/Microsoft.NETCore.App/8.0.11/libcoreclr.so",
         true,
         {8, 0, 11, 0}},
        {"/dotnet/shared/Microsoft.NETCore.App/9.0.0-rc.2.24473.5/libcoreclr.so",
         true,
         {9, 0, 0, 0}},
        {"/opt/10.1/libfoo.so.1x", true, {10, 1, 0, 0}},  // bad file suffix: the folder
        {"/usr/lib/libfoo.so", false, {}},
        {"/opt/net8.0/libfoo.so", false, {}},
        {"/opt/8/libfoo.so", false, {}},  // one number is not a folder version
        {"/opt/1.2.3.4.5/libfoo.so", false, {}},
        {"/opt/lib/libfoo.so.70000", false, {}},
        {"/opt/lib/libfoo.so.1.", false, {}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        FileVersion parsed{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
        ASSERT_EQ(c.found, Native::ParseModuleVersion(c.path, &parsed)) << c.path;
        if (c.found) {
            EXPECT_EQ(
                std::vector<WORD>({parsed.major, parsed.minor, parsed.build, parsed.revision}),
                std::vector<WORD>(
                    {c.version.major, c.version.minor, c.version.build, c.version.revision}))
                << c.path;
        }
    }
}

TEST(PlatformSystemInfo, DescribesThisBuildMachineKernelAndMemory) {
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
    EXPECT_GT(lowest, 0u);
    EXPECT_GE(reinterpret_cast<uintptr_t>(&local), lowest);
    EXPECT_LE(reinterpret_cast<uintptr_t>(&local), highest);
    EXPECT_NE(info.dwActiveProcessorMask, 0u);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_GT(info.wProcessorLevel, 0);  // the x86 family number

    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    unsigned major = 0, minor = 0, build = 0;
    ASSERT_GE(std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build), 2);
    OSVERSIONINFO version;
    std::memset(&version, 0xCC, sizeof(version));
    ASSERT_TRUE(GetVersionEx(&version));
    EXPECT_EQ(version.dwMajorVersion, major);
    EXPECT_EQ(version.dwMinorVersion, minor);
    EXPECT_EQ(version.dwBuildNumber, build);
    EXPECT_EQ(version.dwPlatformId, 3u);
    const std::string expected = std::string(names.version).substr(0, 127);
    EXPECT_EQ(WString(version.szCSDVersion), WString(expected.begin(), expected.end()));
    const std::string release = names.release;
    EXPECT_EQ(GetKernelRelease(), WString(release.begin(), release.end()));
    EXPECT_FALSE(GetVersionEx(nullptr));

    MEMORYSTATUS status;
    std::memset(&status, 0xCC, sizeof(status));
    GlobalMemoryStatus(&status);
    EXPECT_GT(status.dwTotalPhys, 0u);
    EXPECT_LE(status.dwAvailPhys, status.dwTotalPhys);
    EXPECT_LE(status.dwMemoryLoad, 100u);
    EXPECT_GE(status.dwTotalPageFile, status.dwTotalPhys);
    EXPECT_EQ(status.dwTotalVirtual, highest - lowest + 1);
    EXPECT_LT(status.dwAvailVirtual, status.dwTotalVirtual);  // this process maps something
    EXPECT_GT(status.dwAvailVirtual, 0u);
}

TEST(PlatformClock, FileTimeOfKnownDatesAndRefusalOfInvalidOnes) {
    const struct {
        WORD year, month, day, hour, minute, second, milliseconds;
        uint64_t fileTime;  // 1: refused
    } cases[] = {
        {1601, 1, 1, 0, 0, 0, 0, 0},
        {1970, 1, 1, 0, 0, 0, 0, 116444736000000000ull},
        {2000, 1, 1, 0, 0, 0, 0, 125911584000000000ull},
        // 2024-02-29 is day 19782 after 1970-01-01.
        {2024, 2, 29, 12, 34, 56, 789,
         116444736000000000ull + (19782ull * 86400 + 45296) * 10000000 + 7890000},
        // The last representable tick of the calendar is 0x7FFF35F4F06C7FFF (23:59:59.9999999).
        {30827, 12, 31, 23, 59, 59, 999, 0x7FFF35F4F06C7FFFull - 9999},
        {2000, 2, 29, 0, 0, 0, 0, 125911584000000000ull + 59ull * 86400 * 10000000},
        {2023, 2, 29, 0, 0, 0, 0, 1},
        {1900, 2, 29, 0, 0, 0, 0, 1},
        {2024, 4, 31, 0, 0, 0, 0, 1},
        {2024, 13, 1, 0, 0, 0, 0, 1},
        {2024, 0, 1, 0, 0, 0, 0, 1},
        {2024, 1, 0, 0, 0, 0, 0, 1},
        {2024, 1, 1, 24, 0, 0, 0, 1},
        {2024, 1, 1, 0, 60, 0, 0, 1},
        {2024, 1, 1, 0, 0, 60, 0, 1},
        {2024, 1, 1, 0, 0, 0, 1000, 1},
        {1600, 12, 31, 23, 59, 59, 999, 1},
        {30828, 1, 1, 0, 0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        const SYSTEMTIME time{c.year, c.month,  0,        c.day,
                              c.hour, c.minute, c.second, c.milliseconds};
        FILETIME fileTime{0xDEADBEEF, 0xDEADBEEF};
        const bool ok = SystemTimeToFileTime(&time, &fileTime);
        ASSERT_EQ(ok, c.fileTime != 1) << c.year << "-" << c.month << "-" << c.day;
        if (ok) {
            EXPECT_EQ(uint64_t(fileTime.dwHighDateTime) << 32 | fileTime.dwLowDateTime, c.fileTime)
                << c.year;
        }
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_GE(now.wYear, 2024);
    EXPECT_LE(now.wDayOfWeek, 6);
    FILETIME fileTime{};
    EXPECT_TRUE(SystemTimeToFileTime(&now, &fileTime));
}

TEST(PlatformClock, TickCountAndPerformanceCounterAdvanceAtLeastTheSleptTime) {
    const DWORD before = GetTickCount();
    int64_t frequency = 0, first = 0, second = 0;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency, 1000000000);
    ASSERT_TRUE(QueryPerformanceCounter(&first));
    Sleep(30);
    ASSERT_TRUE(QueryPerformanceCounter(&second));
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - before), 30u);
    EXPECT_GE(second - first, 30000000);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_NE(ReadTimeStampCounter(), 0u);
}

TEST(PlatformClockConcurrent, UserTimeGrowsForABusyThread) {
    std::atomic<bool> stop{false};
    std::promise<DWORD> idPromise;
    std::thread busy([&] {
        idPromise.set_value(GetCurrentThreadId());
        volatile uint64_t sink = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            sink = sink + 1;
        }
    });
    const DWORD busyId = idPromise.get_future().get();
    // Read from outside: the busy thread's stat file must show its time growing; the same
    // through the current-thread call, for this thread while it spins.
    auto grows = [](auto&& probe, bool spin) {
        uint64_t start = 0, now = 0;
        EXPECT_TRUE(probe(&start));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        volatile uint64_t sink = 0;
        while (now <= start && std::chrono::steady_clock::now() < deadline) {
            for (int i = 0; spin && i < 100000; ++i) {
                sink = sink + static_cast<uint64_t>(i);
            }
            std::this_thread::yield();
            EXPECT_TRUE(probe(&now));
        }
        // Read from the stat file: whole 100-ns units derived from clock ticks.
        EXPECT_TRUE(spin || now % 10 == 0) << now;
        return now > start;
    };
    EXPECT_TRUE(grows([busyId](uint64_t* t) { return GetThreadUserTime(busyId, t); }, false));
    stop = true;
    busy.join();
    EXPECT_TRUE(grows([](uint64_t* t) { return GetCurrentThreadUserTime(t); }, true));
    EXPECT_TRUE(
        grows([](uint64_t* t) { return GetThreadUserTime(GetCurrentThreadId(), t); }, true));
    uint64_t time = 0;
    EXPECT_FALSE(GetThreadUserTime(0x7FFFFFF0u, &time));
    EXPECT_FALSE(GetThreadUserTime(GetCurrentThreadId(), nullptr));
}

TEST(PlatformFileSystem, FilesAndDirectoriesAreCreatedOnceWithEitherSeparatorInUtf8) {
    ScratchDirectory scratch;
    const WString file = scratch.Wide("new.tmp");
    EXPECT_EQ(FindPath(file), FindResult::NotFound);
    EXPECT_TRUE(CreateNewFile(file));
    EXPECT_EQ(FindPath(file), FindResult::File);
    EXPECT_FALSE(CreateNewFile(file));
    EXPECT_FALSE(CreateNewFile(scratch.Wide()));
    EXPECT_FALSE(CreateNewFile(scratch.Wide("missing/new.tmp")));
    EXPECT_TRUE(DeleteFile(file));
    EXPECT_FALSE(DeleteFile(file));

    WString directory = scratch.Wide("sub");
    for (WCHAR& c : directory) {
        c = c == u'/' ? u'\\' : c;
    }
    EXPECT_TRUE(CreateDirectory(directory));
    EXPECT_FALSE(CreateDirectory(directory));
    EXPECT_EQ(FindPath(scratch.Wide("sub")), FindResult::Directory);
    EXPECT_FALSE(CreateDirectory(scratch.Wide("missing/level2")));
    EXPECT_EQ(FindPath(WString()), FindResult::NotFound);
    ASSERT_TRUE(CreateNewFile(directory + u"\\data.bin"));
    EXPECT_EQ(FindPath(scratch.Wide("sub/data.bin")), FindResult::File);
    EXPECT_EQ(ToNativePath(u"\\a\\b/c"), "/a/b/c");
    EXPECT_TRUE(DeleteFile(scratch.Wide("sub/data.bin")));
    EXPECT_TRUE(RemoveDirectory(directory));
    EXPECT_FALSE(RemoveDirectory(directory));

    EXPECT_EQ(ToNativePath(u"/t\u00e9\u20ac\U0001F600"), "/t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    ASSERT_TRUE(CreateNewFile(scratch.Wide() + u"/\u00e9t\u00e9.txt"));
    EXPECT_TRUE(std::filesystem::exists(scratch.Path() / "\xC3\xA9t\xC3\xA9.txt"));

    // OpenFile gives a buffered stream.
    FILE* out = OpenFile(scratch.Wide("stream.txt"), "wt");
    ASSERT_NE(out, nullptr);
    std::fputs("line\n", out);
    std::fclose(out);
    FILE* in = OpenFile(scratch.Wide() + u"\\stream.txt", "rb");
    ASSERT_NE(in, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof(text), in), 5u);
    std::fclose(in);
    EXPECT_STREQ(text, "line\n");
    EXPECT_EQ(OpenFile(scratch.Wide("missing.txt"), "rb"), nullptr);

    uint64_t freeBytes = 0;
    EXPECT_TRUE(GetFreeDiskSpace(scratch.Wide(), &freeBytes));
    EXPECT_GT(freeBytes, 0u);
    EXPECT_FALSE(GetFreeDiskSpace(scratch.Wide("missing"), &freeBytes));
}

TEST(PlatformFileSystem, SystemTempDirectoryFollowsTmpdir) {
    {
        ScopedVariable tmpdir("TMPDIR", "/var/tmp/\xC3\xA9");
        EXPECT_EQ(GetSystemTempDirectory(), u"/var/tmp/\u00e9");
    }
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedVariable tmpdir("TMPDIR", value);
        EXPECT_EQ(GetSystemTempDirectory(), u"/tmp");
    }
}
