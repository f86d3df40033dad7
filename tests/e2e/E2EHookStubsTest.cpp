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

// The floor profiler stands in for the tracing kind.
const std::string kTracingClass = "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}";
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

class E2EHookStubs : public testing::TestWithParam<const char*> {
protected:
    static ChildProcess::Result Run(ChildProcess child) {
        ChildProcess::Result result = child.Run(SampleRun::Timeout);
        EXPECT_TRUE(result.started) << result.error;
        EXPECT_FALSE(result.timedOut) << SampleRun::Describe(result);
        return result;
    }

    ScratchDirectory m_Scratch;
};

TEST_P(E2EHookStubs, TargetsDestroyingRegistersChangeNothingAndCallsAreCounted) {
    const ChildProcess::Result plain = Run(SampleRun::CommandFor(QV_REGISTER_PROOF_DLL));
    ASSERT_EQ(kProofExitCode, plain.exitCode) << SampleRun::Describe(plain);
    ASSERT_NE(std::string::npos, plain.out.find("\ntotal: ")) << plain.out;

    const std::filesystem::path reportPath = m_Scratch.Path() / "report.txt";
    ChildProcess child = SampleRun::CommandFor(QV_REGISTER_PROOF_DLL);
    SampleRun::AddProfilerVariables(&child, kTracingClass, QV_FLOOR_PROFILER);
    child.SetVariable("QUORVELAN_HOST_LOG", (m_Scratch.Path() / "host.log").string());
    child.SetVariable("QV_FLOOR_PROFILER_MODE", "clobber");
    child.SetVariable("QV_FLOOR_PROFILER_HOOKS", GetParam());
    child.SetVariable("QV_FLOOR_PROFILER_REPORT", reportPath.string());
    const ChildProcess::Result hooked = Run(child);
    EXPECT_EQ(plain.out, hooked.out);
    EXPECT_EQ("", hooked.err);
    EXPECT_EQ(kProofExitCode, hooked.exitCode) << SampleRun::Describe(hooked);

    const Report report = ReadReport(reportPath);
    EXPECT_EQ(std::string("floor mode=clobber hooks=") + GetParam() + " vector=" +
                  HookStubs::VectorWidthName(HookStubs::DetectVectorWidth()) + " init=00000000",
              report.header);
    // Functions left by an exception get no leave.
    const std::map<std::string, Counts> expected = {
        {"RegisterProof.Program::Main", {1, 1, 0}},
        {"RegisterProof.Program::Fib", {21891, 21891, 0}},
        {"RegisterProof.Program::Catcher", {100, 100, 0}},
        {"RegisterProof.Program::Level1", {100, 0, 0}},
        {"RegisterProof.Program::Level2", {100, 0, 0}},
        {"RegisterProof.Program::Level3", {100, 0, 0}},
    };
    for (const auto& [name, counts] : expected) {
        auto it = report.functions.find(name);
        ASSERT_NE(report.functions.end(), it) << name << "\n" << report.text;
        EXPECT_EQ(counts, it->second) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Hooks, E2EHookStubs, testing::Values("fast", "version2"));

}  // namespace
