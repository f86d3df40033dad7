// qvprof's program runner with real child processes and real signals: exit codes pass through, a
// signal death reads as 128 + N, a signal sent to qvprof alone is received once and can be passed
// on, and a deadline ends a wait.
#include <gtest/gtest.h>

#include <csignal>

#include "LaunchEnvironment.h"
#include "ProgramRunner.h"

using namespace Qvprof;

namespace {

// Generous: only a broken runner waits this long.
constexpr auto Limit = std::chrono::seconds(30);

ProgramRunner::Event WaitNotDeadline(ProgramRunner& runner) {
    return runner.Wait(ProgramRunner::Clock::now() + Limit);
}

}  // namespace

TEST(QvprofProgramRunner, ExitCodesAndSignalDeathsPassThrough) {
    struct Case {
        const char* pScript;
        int exitCode;
        const char* pOutcome;
    };
    for (const Case& c :
         {Case{"exit 7", 7, "exited with code 7"}, Case{"exit 0", 0, "exited with code 0"},
          Case{"kill -TERM $$", 128 + SIGTERM, "was ended by signal 15"}}) {
        ProgramRunner runner;
        runner.Start({"sh", "-c", c.pScript}, LaunchEnvironment::Inherited());
        const ProgramRunner::Event event = WaitNotDeadline(runner);
        ASSERT_EQ(ProgramRunner::EventKind::ProgramEnded, event.kind) << c.pScript;
        EXPECT_FALSE(runner.IsRunning());
        EXPECT_EQ(c.exitCode, runner.ExitCode()) << c.pScript;
        EXPECT_EQ(0u, runner.Outcome().find(c.pOutcome)) << runner.Outcome();
    }
}

TEST(QvprofProgramRunner, ASignalSentToQvprofIsReceivedAndPassedOn) {
    ProgramRunner runner;
    // The program sends SIGINT to its parent (the test, standing for qvprof), then waits.
    runner.Start({"sh", "-c", "kill -INT $PPID; sleep 30"}, LaunchEnvironment::Inherited());
    const ProgramRunner::Event event = WaitNotDeadline(runner);
    ASSERT_EQ(ProgramRunner::EventKind::Interrupt, event.kind);
    EXPECT_EQ(SIGINT, event.signal);
    EXPECT_TRUE(event.sentToQvprofOnly);
    EXPECT_GT(event.senderPid, 0);  // the program's shell
    EXPECT_TRUE(runner.IsRunning());

    runner.Kill();
    ASSERT_EQ(ProgramRunner::EventKind::ProgramEnded, WaitNotDeadline(runner).kind);
    EXPECT_EQ(128 + SIGKILL, runner.ExitCode());
}

TEST(QvprofProgramRunner, ADeadlineEndsTheWaitAndAMissingProgramIsNamed) {
    ProgramRunner runner;
    const auto start = ProgramRunner::Clock::now();
    EXPECT_EQ(ProgramRunner::EventKind::Deadline,
              runner.Wait(start + std::chrono::milliseconds(20)).kind);
    EXPECT_GE(ProgramRunner::Clock::now() - start, std::chrono::milliseconds(20));
    try {
        runner.Start({"/nonexistent/program"}, {});
        FAIL() << "a missing program must be refused";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("Can't start '/nonexistent/program': No such file or directory", error.what());
    }
    EXPECT_FALSE(ProgramRunner::IsProcessRunning(0x7FFFFFF0));
}
