// The host library in the real runtime, loading the fake profiler library (FakeProfiler/, whose
// entry point is exported under the first test kind's class identifier) or refusing to.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "SampleRun.h"
#include "support/ScratchDirectory.h"

namespace {

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& wanted) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), wanted));
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// Runs the sample with the fake profiler behind the host; the trace lands in the scratch
// directory.
class E2EHostLoader : public testing::Test {
protected:
    ChildProcess::Result RunProfiled(const std::string& clsid, const std::string& library) {
        ChildProcess child = SampleRun::CommandFor();
        SampleRun::AddProfilerVariables(&child, clsid, library);
        child.SetVariable("QV_FAKE_PROFILER_TRACE", TracePath().string());
        child.SetVariable("QUORVELAN_HOST_LOG", HostLogPath().string());
        return child.Run(SampleRun::Timeout);
    }
    std::filesystem::path TracePath() const { return m_Scratch.Path() / "trace.txt"; }
    std::filesystem::path HostLogPath() const { return m_Scratch.Path() / "host.log"; }

    ScratchDirectory m_Scratch;
};

TEST_F(E2EHostLoader, RuntimeLoadsHostAndCallsProfilerEntry) {
    SampleRun::ExpectUnchanged(RunProfiled(SampleRun::TestKindOne, QV_FAKE_PROFILER));
    const std::vector<std::string> trace = ReadLines(TracePath());
    const std::string text = Join(trace);
    ASSERT_GE(trace.size(), 3u) << text;
    // The host ran the entry point with the load command and a host object offering all three
    // services; the runtime then initialised the callback object the host handed back.
    EXPECT_EQ("Load command=0 threads=yes tools=yes host=yes", trace[0]);
    EXPECT_EQ("Initialize setEventMask=0x00000000", trace[1]);
    EXPECT_EQ(0u, trace[2].find("Runtime type=2 version=")) << text;
    EXPECT_EQ(1u, CountLines(trace, "ModuleLoadFinished System.Private.CoreLib.dll")) << text;
    EXPECT_EQ(1u, CountLines(trace, "ModuleLoadFinished Sample.dll")) << text;
    // The main thread and the three workers at least.
    EXPECT_GE(CountLines(trace, "ThreadCreated"), 4u) << text;
    for (const char* name : {"Worker-1", "Worker-2", "Worker-3"}) {
        EXPECT_EQ(1u, CountLines(trace, std::string("ThreadNameChanged ") + name)) << text;
    }
    // Shut down once, by the runtime, at the very end.
    EXPECT_EQ(1u, CountLines(trace, "Shutdown")) << text;
    EXPECT_EQ("Shutdown", trace.back()) << text;
}

// A missing profiler library or an unknown class: the program runs without profiler, and the
// host's log says why.
TEST_F(E2EHostLoader, ProgramRunsWithoutProfilerWhenTheHostCannotLoadOne) {
    const std::string missing = (m_Scratch.Path() / "libqvprofiler.so").string();
    const struct {
        std::string clsid, library, logged;
    } cases[] = {
        {SampleRun::TestKindOne, missing, "]: can't load the profiler library '" + missing},
        {"{D37A1B78-0000-46FD-BC31-F7C4D5A11C9C}", QV_FAKE_PROFILER,
         "]: CORECLR_PROFILER names {D37A1B78-0000-46FD-BC31-F7C4D5A11C9C}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        SampleRun::ExpectUnchanged(RunProfiled(c.clsid, c.library));
        const std::string log = Join(ReadLines(HostLogPath()));
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        EXPECT_FALSE(std::filesystem::exists(TracePath()));
    }
}

}  // namespace
