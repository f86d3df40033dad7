#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "ChildProcess.h"

namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, CollectsBothStreamsAndTheExitCodeWithTheChangedEnvironment) {
    setenv("QV_CHILD_INHERITED", "kept", 1);
    setenv("QV_CHILD_REMOVED", "gone", 1);
    setenv("QV_CHILD_PREFIX_A", "gone too", 1);
    ChildProcess child({"/bin/sh", "-c",
                        "echo \"$QV_CHILD_SET/$QV_CHILD_INHERITED/${QV_CHILD_REMOVED-unset}/"
                        "${QV_CHILD_PREFIX_A-unset}\"; echo problem >&2; exit 3"});
    child.SetVariable("QV_CHILD_SET", "set");
    child.RemoveVariable("QV_CHILD_REMOVED");
    child.RemoveVariablesStartingWith("QV_CHILD_PREFIX_");
    const ChildProcess::Result result = child.Run(60s);
    unsetenv("QV_CHILD_INHERITED");
    unsetenv("QV_CHILD_REMOVED");
    unsetenv("QV_CHILD_PREFIX_A");

    ASSERT_TRUE(result.started) << result.error;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ("set/kept/unset/unset\n", result.out);
    EXPECT_EQ("problem\n", result.err);
    EXPECT_EQ(3, result.exitCode);
    EXPECT_EQ(0, result.signal);

    const ChildProcess::Result missing = ChildProcess({"/nonexistent/program"}).Run(60s);
    EXPECT_FALSE(missing.started);
    EXPECT_NE(std::string::npos, missing.error.find("/nonexistent/program")) << missing.error;
}

TEST(ChildProcess, KillsTheProcessGroupAtTheTimeLimit) {
    // The shell's background child keeps the output pipe open: the group kill must end it too.
    ChildProcess child({"/bin/sh", "-c", "sleep 60 & echo started; wait"});
    const ChildProcess::Result result = child.Run(300ms);
    ASSERT_TRUE(result.started) << result.error;
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(SIGKILL, result.signal);
    EXPECT_EQ("started\n", result.out);
}

}  // namespace
