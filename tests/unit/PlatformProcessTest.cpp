#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "Platform/Linux/ModuleVersion.h"
#include "Platform/Process.h"

using namespace Platform;

namespace {

bool VersionIs(std::string_view path, WORD major, WORD minor, WORD build, WORD revision) {
    FileVersion version{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    if (!Native::ParseModuleVersion(path, &version)) {
        return false;
    }
    return version.major == major && version.minor == minor && version.build == build &&
           version.revision == revision;
}

}  // namespace

TEST(PlatformProcess, CommandLineQuotesOnlyArgumentsWithBlanks) {
    EXPECT_EQ(JoinCommandLineArguments({}), u"");
    EXPECT_EQ(JoinCommandLineArguments({u"-v"}), u"-v");
    EXPECT_EQ(JoinCommandLineArguments({u"run", u"my file.txt", u"x", u" "}),
              u"run \"my file.txt\" x \" \"");
    EXPECT_EQ(JoinCommandLineArguments({u"a\tb", u"", u"c"}), u"a\tb  c");
    EXPECT_EQ(ComposeCommandLine(u"/opt/app/run", u""), u"\"/opt/app/run\"");
    EXPECT_EQ(ComposeCommandLine(u"/opt/my app/run", u"-x \"a b\""),
              u"\"/opt/my app/run\" -x \"a b\"");
}

TEST(PlatformProcess, ProcessCommandLineBeginsWithTheQuotedExecutable) {
    WString path;
    ASSERT_TRUE(GetExecutablePath(&path));
    EXPECT_EQ(path.front(), u'/');
    EXPECT_EQ(path.substr(path.rfind(u'/') + 1), u"unit_tests");
    const WString line = ComposeProcessCommandLine();
    EXPECT_EQ(line, ComposeCommandLine(path, GetCommandLineArguments()));
    EXPECT_EQ(line.rfind(u"\"" + path + u"\"", 0), 0u);
}

TEST(PlatformProcess, IdsAreTheKernelIds) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(syscall(SYS_gettid)));
    const DWORD mine = GetCurrentThreadId();
    auto other = std::async(std::launch::async, [] {
        return std::make_pair(GetCurrentThreadId(), static_cast<DWORD>(syscall(SYS_gettid)));
    }).get();
    EXPECT_EQ(other.first, other.second);
    EXPECT_NE(other.first, mine);
}

TEST(PlatformProcess, ThreadNameIsCutToFifteenCharacters) {
    const std::string comm = std::async(std::launch::async, [] {
        EXPECT_TRUE(SetCurrentThreadName("QV sampling thread"));
        std::ifstream file("/proc/self/task/" + std::to_string(GetCurrentThreadId()) + "/comm");
        std::string name;
        std::getline(file, name);
        return name;
    }).get();
    EXPECT_EQ(comm, "QV sampling thr");
}

TEST(PlatformProcess, ForkedChildSeesItsOwnThreadId) {
    const DWORD parent = GetCurrentThreadId();  // cached in this thread before the fork
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool ok = GetCurrentThreadId() == static_cast<DWORD>(getpid()) &&
                        GetCurrentThreadId() != parent;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlatformProcess, LoadedModulesAreFoundByFileName) {
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
}

TEST(PlatformProcess, ModuleVersionFromFileNameOrVersionedFolder) {
    EXPECT_TRUE(VersionIs("/usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30", 6, 0, 30, 0));
    EXPECT_TRUE(VersionIs("/lib/libc.so.6", 6, 0, 0, 0));
    EXPECT_TRUE(VersionIs("/lib/libx.so.1.2.3.4", 1, 2, 3, 4));
    EXPECT_TRUE(VersionIs("/usr/share/dotnet/shared/Microsoft.NETCore.App/8.0.11/libcoreclr.so",
                          8, 0, 11, 0));
    EXPECT_TRUE(VersionIs("/dotnet/shared/Microsoft.NETCore.App/9.0.0-rc.2.24473.5/libcoreclr.so",
                          9, 0, 0, 0));
    EXPECT_TRUE(VersionIs("/opt/10.1/libfoo.so.1x", 10, 1, 0, 0));  // bad file suffix: the folder
    EXPECT_FALSE(VersionIs("/usr/lib/libfoo.so", 0, 0, 0, 0));
    EXPECT_FALSE(VersionIs("/opt/net8.0/libfoo.so", 0, 0, 0, 0));
    EXPECT_FALSE(VersionIs("/opt/8/libfoo.so", 0, 0, 0, 0));  // one number is not a folder version
    EXPECT_FALSE(VersionIs("/opt/1.2.3.4.5/libfoo.so", 0, 0, 0, 0));
    EXPECT_FALSE(VersionIs("/opt/lib/libfoo.so.70000", 0, 0, 0, 0));
    EXPECT_FALSE(VersionIs("/opt/lib/libfoo.so.1.", 0, 0, 0, 0));
    EXPECT_FALSE(VersionIs("", 0, 0, 0, 0));
}
