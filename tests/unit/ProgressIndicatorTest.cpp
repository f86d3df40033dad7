#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ProgressIndicator/BaseProgressIndicator.h"
#include "ProgressIndicator/BridgeProgressIndicator.h"
#include "ProgressIndicator/ChildProgressIndicator.h"
#include "ProgressIndicator/UnboundedProgressIndicator.h"
#include "support/BridgeLine.h"
#include "support/Bytes.h"
#include "support/ErrorText.h"
#include "support/TestCommandProcessor.h"

namespace {

// A top indicator that notes every value it would report.
class RecordingIndicator : public BaseProgressIndicator {
public:
    explicit RecordingIndicator(DWORD scale) : BaseProgressIndicator(scale) {}

    std::vector<DWORD> m_Values;

protected:
    void OnProgress(DWORD delta, DWORD value) override {
        EXPECT_EQ(value - delta, m_Values.empty() ? 0u : m_Values.back());
        m_Values.push_back(value);
    }
};

// 0xF2 value total.
Bytes Progress(DWORD value) {
    return Concat({{0xF2}, Le32(value), Le32(200)});
}

class ProgressIndicatorTest : public testing::Test {
protected:
    BridgeLine m_Line;
    TestCommandProcessor m_Processor{&m_Line.Profiler(), 0, 1};
    IBridgeControl* m_pControl = m_Processor.GetControl();
};

TEST_F(ProgressIndicatorTest, BridgeIndicatorBracketsAnOperationOutOf200OrNothing) {
    {
        BridgeProgressIndicator progress(m_pControl, IBridgeControl::OperationFlush);
        progress.Begin(3);
        progress.Step(1);
        progress.Step(1);
        progress.Step(1);
        progress.End();
        EXPECT_EQ(ErrorText([&] { BridgeProgressIndicator second(m_pControl, 0); }),
                  "Only one operation is allow in the same time");
    }
    EXPECT_EQ(m_Line.ToController().TakeAll(),
              Concat({{0xF0, 0x01}, Progress(66), Progress(133), Progress(200), {0xF1}}));
    EXPECT_EQ(ErrorText([] { BridgeProgressIndicator none(nullptr, 0); }), "Invalid bridge");

    // A total of zero never reports and refuses steps.
    {
        BridgeProgressIndicator progress(m_pControl, IBridgeControl::OperationWriteSnapshot);
        progress.Begin(0);
        EXPECT_EQ(progress.GetMultiplier(), 1u);
        EXPECT_EQ(ErrorText([&] { progress.Step(1); }), "Invalid current value");
        progress.End();
    }
    EXPECT_EQ(m_Line.ToController().TakeAll(), (Bytes{0xF0, 0x00, 0xF1}));
}

TEST(ProgressIndicator, BeginsOnceAndRefusesToPassTheTotal) {
    RecordingIndicator progress(100);
    progress.Begin(10);
    progress.Begin(4);  // nothing counted yet: allowed
    EXPECT_EQ(progress.GetMultiplier(), 0xFFFFFFFFu / 4);
    progress.Step(1);
    EXPECT_EQ(ErrorText([&] { progress.Begin(10); }), "Can't begin twice");
    progress.Step(3);
    EXPECT_EQ(ErrorText([&] { progress.Step(1); }), "Invalid current value");
    // The refused step left the counters alone.
    progress.End();
    EXPECT_EQ(progress.m_Values, (std::vector<DWORD>{25, 100}));
    EXPECT_EQ(ErrorText([&] { progress.AddRaw(1); }), "Invalid current value");
}

// After every raw step the reported value is scale x done / maximum exactly: reports are neither
// missed nor early, whatever the step sizes (ones, primes, jumps to just below the next value).
TEST(ProgressIndicator, ReportsExactlyTheValueOfTheWorkDone) {
    const struct {
        DWORD scale, total;
    } cases[] = {{100, 10}, {200, 1}, {0xFFFFFFFFu, 7}, {3, 0xFFFFFFFFu}, {1, 3}};
    for (const auto& c : cases) {
        RecordingIndicator progress(c.scale);
        progress.Begin(c.total);
        const uint64_t maximum = uint64_t{c.total} * progress.GetMultiplier();
        uint64_t done = 0;
        for (uint64_t i = 0; done < maximum; ++i) {
            const uint64_t nextValue = c.scale * done / maximum + 1;
            const uint64_t toNext = (nextValue * maximum + c.scale - 1) / c.scale - done;
            uint64_t step = i % 3 == 0 ? 1 : i % 3 == 1 ? 7919 : toNext - 1;
            step = std::min(std::max<uint64_t>(step, 1), maximum - done);
            progress.AddRaw(static_cast<DWORD>(step));
            done += step;
            ASSERT_EQ(progress.GetReported(), c.scale * done / maximum)
                << c.scale << "/" << c.total << " after " << done;
            if (i > 20000) {
                progress.AddRaw(static_cast<DWORD>(maximum - done));
                done = maximum;
            }
        }
        EXPECT_EQ(progress.GetReported(), c.scale);
    }
}

TEST(ProgressIndicator, ChildAddsExactlyItsShareWhateverItsOwnTotal) {
    RecordingIndicator parent(1000);
    parent.Begin(45);
    {
        ChildProgressIndicator child(parent, 4);
        child.Begin(1000);
        for (int i = 0; i < 999; ++i) {
            child.Step(1);
        }
        child.End();
    }
    EXPECT_EQ(parent.GetReported(), 1000u * 4 / 45);
    // Exactly 4 of 45 are done: 41 more reach the end, and not one more fits.
    parent.Step(41);
    EXPECT_EQ(parent.GetReported(), 1000u);
    EXPECT_EQ(ErrorText([&] { parent.AddRaw(1); }), "Invalid current value");
}

TEST(ProgressIndicator, ChildStepsReachTheControllerThroughTheParent) {
    BridgeLine line;
    TestCommandProcessor processor(&line.Profiler(), 0, 1);
    {
        BridgeProgressIndicator top(processor.GetControl(), 0);
        top.Begin(2);
        ChildProgressIndicator child(top, 1);
        child.Begin(2);
        child.Step(1);
        child.Step(1);
        top.Step(1);
    }
    EXPECT_EQ(line.ToController().TakeAll(),
              // Half a child rounds down at both levels; the child's end makes it up exactly.
              Concat({{0xF0, 0x00}, Progress(49), Progress(100), Progress(200), {0xF1}}));
}

TEST(ProgressIndicator, UnboundedReportsHalfItsScaleAfterKSteps) {
    RecordingIndicator parent(200);
    parent.Begin(2);
    UnboundedProgressIndicator unbounded(parent, 2);  // scale 0xFFFFFFFE, an even number
    EXPECT_EQ(ErrorText([&] { unbounded.Begin(0); }), "Can't be zero");
    unbounded.Begin(10);
    EXPECT_EQ(unbounded.GetMultiplier(), 1u);
    for (int i = 0; i < 10; ++i) {
        unbounded.Step(1);
    }
    EXPECT_EQ(unbounded.GetReported(), 0xFFFFFFFEu / 2);
    EXPECT_EQ(parent.GetReported(), 100u);
    // It approaches the end and reaches it only with End.
    unbounded.Step(1000000);
    EXPECT_LT(unbounded.GetReported(), 0xFFFFFFFEu);
    unbounded.End();
    EXPECT_EQ(unbounded.GetReported(), 0xFFFFFFFEu);
    EXPECT_EQ(parent.GetReported(), 200u);
}

TEST(ProgressIndicator, UnboundedDropsStepsTooSmallToMoveIt) {
    RecordingIndicator parent(200);
    parent.Begin(1);
    UnboundedProgressIndicator unbounded(parent, 1);  // scale 0xFFFFFFFF: reports its position
    unbounded.Begin(1);
    unbounded.Step(1000000);
    const DWORD reached = unbounded.GetReported();
    EXPECT_EQ(reached, 0xFFFFFFFFu - 0xFFFFFFFFu / 1000001);
    // One more step does not move the position, and is forgotten rather than saved up.
    for (int i = 0; i < 1000; ++i) {
        unbounded.Step(1);
    }
    EXPECT_EQ(unbounded.GetReported(), reached);
    unbounded.Step(1000);
    EXPECT_EQ(unbounded.GetReported(), 0xFFFFFFFFu - 0xFFFFFFFFu / 1001001);
}

}  // namespace
