// Snapshot file names: the program a process runs, taken from the command line it reports, and
// names that never overwrite another snapshot.
#include <gtest/gtest.h>

#include <fstream>

#include "SnapshotNamer.h"
#include "support/ScratchDirectory.h"

using namespace Qvprof;

TEST(QvprofNaming, ProgramNameFromTheReportedCommandLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"/usr/share/dotnet/dotnet\" /w/bin/Sample.dll", "Sample"},
        {"\"/usr/share/dotnet/dotnet\" build --no-incremental", "dotnet-build"},
        {"\"/usr/share/dotnet/dotnet\" exec --runtimeconfig /a/x.json --depsfile /a/x.deps.json "
         "/sdk/MSBuild.dll /nodemode:1",
         "MSBuild"},
        {"\"/usr/share/dotnet/dotnet\" exec \"/my dir/App Name.dll\" -x", "App_Name"},
        {"\"/usr/share/dotnet/dotnet\"", "dotnet"},
        {"\"/sdk/Roslyn/bincore/csc\" /noconfig @/tmp/x.rsp", "csc"},
        {"\"C:\\apps\\Tool.exe\" run", "Tool"},
        {"\"/opt/.hidden\" a", "hidden"},
        {"", "process"},
    };
    for (const auto& [commandLine, expected] : cases) {
        EXPECT_EQ(expected, SnapshotNamer::ProgramName(commandLine)) << commandLine;
    }
    EXPECT_EQ(60u, SnapshotNamer::ProgramName("\"/" + std::string(100, 'a') + "\"").size());
}

TEST(QvprofNaming, NamesByProcessNeverReusedNorOverwritingAFile) {
    ScratchDirectory scratch;
    std::ofstream(scratch.Path() / "Sample-7.qvsnap") << "earlier run";
    SnapshotNamer namer(scratch.Path());
    EXPECT_EQ(scratch.Path() / "Sample-7-2.qvsnap", namer.Reserve("Sample", 7));
    EXPECT_EQ(scratch.Path() / "Sample-7-3.qvsnap", namer.Reserve("Sample", 7));
    EXPECT_EQ(scratch.Path() / "Sample-8.qvsnap", namer.Reserve("Sample", 8));
    EXPECT_EQ(scratch.Path() / "csc-7.qvsnap", namer.Reserve("csc", 7));
}
