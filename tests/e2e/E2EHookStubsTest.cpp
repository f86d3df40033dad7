// The entry stubs in the real runtime. RegisterProof keeps values in every argument and return
// register across its calls; under the floor profiler, whose targets destroy every register a C
// function may destroy, it must print what it prints without a profiler, and the calls the
// profiler counted must be those its source makes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "Profiler/Performance/Tracing/HookStubs.h"
#include "SampleRun.h"
#include "support/ScratchDirectory.h"

namespace {

constexpr int kProofExitCode = 3;

struct Counts {
    unsigned long long enter = 0, leave = 0, tailcall = 0;
    bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Counts& counts) {
    return out << counts.enter << "/" << counts.leave << "/" << counts.tailcall;
}

struct Report {
    std::string header;
    std::map<std::string, Counts> functions;
    std::string text;
};

Report ReadReport(const std::filesystem::path& path) {
    Report report;
    std::ifstream file(path);
    std::getline(file, report.header);
    report.text = report.header + "\n";
    for (std::string line; std::getline(file, line);) {
        report.text += line + "\n";
        std::istringstream fields(line);
        Counts counts;
        std::string name;
        if (fields >> counts.enter >> counts.leave >> counts.tailcall >> name) {
            report.functions[name] = counts;
        }
    }
    return report;
}

// The program once without profiler, then under the fast-path and under the version-2 hooks.
TEST(E2EHookStubs, TargetsDestroyingRegistersChangeNothingAndCallsAreCounted) {
    const ChildProcess::Result plain =
        SampleRun::CommandFor(QV_REGISTER_PROOF_DLL).Run(SampleRun::Timeout);
    ASSERT_EQ(kProofExitCode, plain.exitCode) << SampleRun::Describe(plain);
    ASSERT_NE(std::string::npos, plain.out.find("\ntotal: ")) << plain.out;
    // Functions left by an exception get no leave.
    const std::map<std::string, Counts> expected = {
        {"RegisterProof.Program::Main", {1, 1, 0}},
        {"RegisterProof.Program::Fib", {21891, 21891, 0}},
        {"RegisterProof.Program::Catcher", {100, 100, 0}},
        {"RegisterProof.Program::Level1", {100, 0, 0}},
        {"RegisterProof.Program::Level2", {100, 0, 0}},
        {"RegisterProof.Program::Level3", {100, 0, 0}},
    };
    for (const std::string hooks : {"fast", "version2"}) {
        SCOPED_TRACE(hooks);
        ScratchDirectory scratch;
        const std::filesystem::path reportPath = scratch.Path() / "report.txt";
        ChildProcess child = SampleRun::CommandFor(QV_REGISTER_PROOF_DLL);
        SampleRun::AddProfilerVariables(&child, SampleRun::TracingKind, QV_FLOOR_PROFILER);
        child.SetVariable("QUORVELAN_HOST_LOG", (scratch.Path() / "host.log").string());
        child.SetVariable("QV_FLOOR_PROFILER_MODE", "clobber");
        child.SetVariable("QV_FLOOR_PROFILER_HOOKS", hooks);
        child.SetVariable("QV_FLOOR_PROFILER_REPORT", reportPath.string());
        SampleRun::ExpectUnchanged(child.Run(SampleRun::Timeout), plain.out, kProofExitCode);

        const Report report = ReadReport(reportPath);
        EXPECT_EQ("floor mode=clobber hooks=" + hooks + " vector=" +
                      HookStubs::VectorWidthName(HookStubs::DetectVectorWidth()) + " init=00000000",
                  report.header);
        for (const auto& [name, counts] : expected) {
            auto it = report.functions.find(name);
            ASSERT_NE(report.functions.end(), it) << name << "\n" << report.text;
            EXPECT_EQ(counts, it->second) << name;
        }
    }
}

}  // namespace
