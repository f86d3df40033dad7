#include <gtest/gtest.h>

#include "SampleRun.h"

namespace {

TEST(E2ESample, RunsWithoutProfiler) {
    const ChildProcess::Result result = SampleRun::Command().Run(SampleRun::Timeout);
    ASSERT_TRUE(result.started) << result.error;
    ASSERT_FALSE(result.timedOut) << SampleRun::Describe(result);
    EXPECT_EQ(SampleRun::ExpectedOutput, result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(SampleRun::ExpectedExitCode, result.exitCode) << SampleRun::Describe(result);
}

}  // namespace
