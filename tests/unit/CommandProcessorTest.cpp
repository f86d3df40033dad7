#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Util/Log.h"
#include "support/BridgeLine.h"
#include "support/Bytes.h"
#include "support/CommandReader.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/ScopedLog.h"
#include "support/TestCommandProcessor.h"

namespace {

using namespace std::chrono_literals;

// {11223344-5566-7788-99AA-BBCCDDEEFF00}
constexpr GUID SEQUENCE = {
    0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};

template <class T>
std::string FutureErrorText(std::future<T>& future) {
    if (future.wait_for(BridgeLine::Patience) != std::future_status::ready) {
        ADD_FAILURE() << "the request is still waiting";
        return "(still waiting)";
    }
    return ErrorText([&] { future.get(); });
}

class CommandProcessorTest : public testing::Test {
protected:
    BridgeLine m_Line;
    TestCommandProcessor m_Processor{&m_Line.Profiler(), 0, 1};
    IBridgeControl& m_Control = *m_Processor.GetControl();

    // Everything the processor has sent so far.
    Bytes Sent() { return m_Line.ToController().TakeAll(); }
};

TEST_F(CommandProcessorTest, UnhandledCodesAreRefusedAndUnknownCommandsRaise) {
    for (BYTE code : {0x00, 0x10, 0x13, 0x21, 0x90, 0xE0, 0xE2, 0xE3, 0xE5, 0xEF, 0xFC}) {
        EXPECT_FALSE(m_Processor.ProcessCommand(code)) << static_cast<int>(code);
    }
    m_Line.Send({0x13});
    EXPECT_EQ(ErrorText([&] { m_Processor.ReadCommand(); }), "Unknown bridge command");
    m_Line.Send({0xFF});
    EXPECT_NO_THROW(m_Processor.ReadCommand());
    EXPECT_TRUE(Sent().empty());
}

TEST_F(CommandProcessorTest, OperationMessagesFollowTheStateMachine) {
    EXPECT_EQ(ErrorText([&] { m_Control.OperationProgress(1, 2); }), "There wasn't started event");
    EXPECT_EQ(ErrorText([&] { m_Control.OperationFinished(); }), "There wasn't started event");
    EXPECT_TRUE(Sent().empty());
    m_Control.OperationStarted(1);
    EXPECT_EQ(ErrorText([&] { m_Control.OperationStarted(0); }),
              "Only one operation is allow in the same time");
    m_Control.OperationProgress(5, 200);
    m_Control.OperationFinished();
    m_Control.OperationStarted(0);
    EXPECT_EQ(Sent(), Hx("F0 01  F2 05000000 C8000000  F1  F0 00"));
}

// The other snapshot messages are checked through the snapshot storages; the file snapshot's
// notice carries its path as UTF-8 behind a one-byte length.
TEST_F(CommandProcessorTest, FileSnapshotNoticeCarriesItsPathAsUtf8) {
    m_Control.SnapShotCoreDone(u"/tmp/ssc0\u00E9.tmp", 7, SEQUENCE, 9);
    EXPECT_EQ(Sent(), Concat({Hx("EF 07000000  44332211 6655 8877 99AABBCCDDEEFF00  09000000"),
                              Hx("0F"), Ascii("/tmp/ssc0"), Hx("C3A9"), Ascii(".tmp")}));
}

TEST_F(CommandProcessorTest, LargeSectionWriteKeepsHeaderAndDataTogether) {
    Bytes data(40000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<BYTE>(i * 7);
    }
    m_Control.SnapShotBridgeWrite(1, data.size(), data.data());
    m_Control.SnapShotBridgeWrite(1, 0, nullptr);
    EXPECT_EQ(Sent(), Concat({Hx("E3 0100 409C0000"), data, Hx("E3 0100 00000000")}));
}

TEST_F(CommandProcessorTest, CommandsChangeTheSnapshotTypeAndTheLogMask) {
    ScopedLog log(0);
    EXPECT_EQ(m_Processor.GetSnapShotType(), 1u);
    for (BYTE type : {0, 2}) {
        m_Line.Send({0xFE, type});
        m_Processor.ReadCommand();
        EXPECT_EQ(m_Processor.GetSnapShotType(), type);
    }

    // Set, then clear.
    const DWORD gc = ComponentBit(LogComponent::GcCb);
    const DWORD bridge = ComponentBit(LogComponent::Bridge);
    m_Line.Send(Concat({{0xFD}, Le32(gc | bridge), Le32(0)}));
    m_Processor.ReadCommand();
    EXPECT_TRUE(Log::IsEnabled(LogComponent::GcCb));
    EXPECT_TRUE(Log::IsEnabled(LogComponent::Bridge));
    m_Line.Send(Concat({{0xFD}, Le32(gc), Le32(gc)}));
    m_Processor.ReadCommand();
    EXPECT_FALSE(Log::IsEnabled(LogComponent::GcCb));
    std::vector<std::string> lines = ReadLogLinesAfterRecord();
    const std::string expected =
        LogLinePrefix() + "CP::ProcessCommand ChangeLogMask maskSet=00400000 maskClear=00400000";
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end());
}

TEST_F(CommandProcessorTest, NotificationsAreLimitedToThreeWarningsAndOneError) {
    m_Processor.Activate();
    EXPECT_FALSE(m_Control.IsErrorReported());
    for (const char* text : {"w1", "w2", "w3", "w4"}) {
        Log::Warning(text);
    }
    Log::ErrorFormat("e%d", 1);
    EXPECT_TRUE(m_Control.IsErrorReported());
    Log::Error("e2");
    m_Processor.Deactivate();
    Log::Error("after");
    EXPECT_EQ(Sent(), Hx("FE0002 7731  FE0002 7732  FE0002 7733  FE0102 6531"));
}

TEST_F(CommandProcessorTest, ReplyIdsCountFromZeroAndCompleteTheirRequests) {
    CommandReader reader(m_Processor, m_Line);
    auto section =
        std::async(std::launch::async, [&] { return m_Control.SnapShotBridgeCreateSection(); });
    EXPECT_EQ(m_Line.Receive(5), Concat({{0xE1}, Le32(0)}));
    m_Line.Send(Concat({{0xE1}, Le32(0), Le16(0x0A0B)}));
    EXPECT_EQ(section.get(), 0x0A0B);
    auto position =
        std::async(std::launch::async, [&] { return m_Control.SnapShotBridgeTell(0x0A0B); });
    EXPECT_EQ(m_Line.Receive(7), Concat({{0xE4}, Le16(0x0A0B), Le32(1)}));
    m_Line.Send(Concat({{0xE4}, Le32(1), Le64(0x123456789A)}));
    EXPECT_EQ(position.get(), 0x123456789A);
}

TEST_F(CommandProcessorTest, MismatchedRepliesFailTheirRequestersAndTheReader) {
    auto first =
        std::async(std::launch::async, [&] { return m_Control.SnapShotBridgeCreateSection(); });
    EXPECT_EQ(m_Line.Receive(5), Concat({{0xE1}, Le32(0)}));
    auto second =
        std::async(std::launch::async, [&] { return m_Control.SnapShotBridgeCreateSection(); });
    EXPECT_EQ(m_Line.Receive(5), Concat({{0xE1}, Le32(1)}));

    // Id 1 arrives while id 0 is at the front: the front record goes, and its requester fails.
    m_Line.Send(Concat({{0xE1}, Le32(1), Le16(7)}));
    EXPECT_EQ(ErrorText([&] { m_Processor.ReadCommand(); }), "Result queue problem detected");
    EXPECT_EQ(FutureErrorText(first), "Result queue problem detected");

    // A reply of the wrong kind does not complete a request either.
    m_Line.Send(Concat({{0xE4}, Le32(1), Le64(0)}));
    EXPECT_EQ(ErrorText([&] { m_Processor.ReadCommand(); }), "Result queue problem detected");
    EXPECT_EQ(FutureErrorText(second), "Result queue problem detected");

    // With nothing waiting, any reply is a queue problem.
    m_Line.Send(Concat({{0xE1}, Le32(2), Le16(7)}));
    EXPECT_EQ(ErrorText([&] { m_Processor.ReadCommand(); }), "Result queue problem detected");

    // The queue is consistent again: the next request (id 2) completes normally.
    CommandReader reader(m_Processor, m_Line);
    auto third =
        std::async(std::launch::async, [&] { return m_Control.SnapShotBridgeCreateSection(); });
    EXPECT_EQ(m_Line.Receive(5), Concat({{0xE1}, Le32(2)}));
    m_Line.Send(Concat({{0xE1}, Le32(2), Le16(9)}));
    EXPECT_EQ(third.get(), 9);
}

TEST_F(CommandProcessorTest, EndedRepliesReleaseWaitingAndLaterRequests) {
    auto waiting = std::async(std::launch::async, [&] { return m_Control.SnapShotBridgeTell(3); });
    EXPECT_EQ(m_Line.Receive(7), Concat({{0xE4}, Le16(3), Le32(0)}));
    m_Processor.EndReplies();
    EXPECT_EQ(FutureErrorText(waiting), "Event waiting was interrupted");
    EXPECT_EQ(ErrorText([&] { m_Control.SnapShotBridgeCreateSection(); }),
              "Event waiting was interrupted");
    EXPECT_TRUE(Sent().empty());
}

// A processor whose commands ask the controller something: the reply could never be read.
class AskingProcessor : public TestCommandProcessor {
public:
    using TestCommandProcessor::TestCommandProcessor;
    bool ProcessCommand(BYTE code) override {
        if (code == 0x40) {
            GetControl()->SnapShotBridgeTell(1);
            return true;
        }
        return TestCommandProcessor::ProcessCommand(code);
    }
};

TEST(CommandProcessor, RequestOnTheReadingThreadIsRefusedInsteadOfWaitingForever) {
    BridgeLine line;
    AskingProcessor processor(&line.Profiler(), 0, 1);
    line.Send({0x40});
    EXPECT_EQ(ErrorText([&] { processor.ReadCommand(); }),
              "Bridge reply requested on the thread that reads replies");
    EXPECT_EQ(line.ToController().Available(), 0u);
    // A request from another thread is answered as usual.
    auto asking = std::async(std::launch::async,
                             [&] { return processor.GetControl()->SnapShotBridgeTell(1); });
    EXPECT_EQ(line.Receive(7), Concat({{0xE4}, Le16(1), Le32(0)}));
    line.Send(Concat({{0xE4}, Le32(0), Le64(5)}));
    processor.ReadCommand();
    EXPECT_EQ(asking.get(), 5);
}

TEST_F(CommandProcessorTest, RequestWhoseMessageFailsLeavesNoRecordBehind) {
    m_Line.ToController().Close();
    EXPECT_EQ(ErrorText([&] { m_Control.SnapShotBridgeCreateSection(); }), "Bridge line closed");
    // Had the failed request stayed queued, this reply would be a mismatch.
    m_Line.Send(Concat({{0xE1}, Le32(1), Le16(4)}));
    EXPECT_EQ(ErrorText([&] { m_Processor.ReadCommand(); }), "Result queue problem detected");
}

TEST(CommandProcessorConcurrent, NotificationIsDroppedWhileAnotherThreadHoldsTheWriteLock) {
    BridgeLine line;
    TestCommandProcessor processor(&line.Profiler(), 0, 1);
    processor.Activate();
    line.ToController().HoldWriters();
    std::thread writer([&] { processor.GetControl()->OperationStarted(0); });
    ASSERT_TRUE(line.ToController().WaitForHeldWriter(BridgeLine::Patience));
    Log::Warning("dropped");
    Log::Error("dropped too");
    line.ToController().ReleaseWriters();
    writer.join();

    // The dropped ones did not use up the limits.
    Log::Warning("w1");
    Log::Warning("w2");
    Log::Warning("w3");
    Log::Error("e1");
    processor.Deactivate();
    EXPECT_EQ(line.ToController().TakeAll(), Concat({{0xF0, 0x00},
                                                     {0xFE, 0x00, 0x02, 'w', '1'},
                                                     {0xFE, 0x00, 0x02, 'w', '2'},
                                                     {0xFE, 0x00, 0x02, 'w', '3'},
                                                     {0xFE, 0x01, 0x02, 'e', '1'}}));
}

// Several threads tell positions and write data at once; the controller answers each tell with a
// position derived from the handle in the request, so a requester that received another's reply
// would see the wrong value, and interleaved messages would break the controller's parsing.
TEST(CommandProcessorConcurrent, RequestsFromSeveralThreadsAreMatchedInOrder) {
    constexpr int THREADS = 6;
    constexpr int ROUNDS = 40;
    BridgeLine line;
    TestCommandProcessor processor(&line.Profiler(), 0, 1);
    IBridgeControl& control = *processor.GetControl();
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> requesters;
    for (int t = 0; t < THREADS; ++t) {
        requesters.emplace_back([&, t] {
            try {
                for (int i = 0; i < ROUNDS; ++i) {
                    const WORD handle = static_cast<WORD>(t * 100 + i);
                    const BYTE payload[3] = {static_cast<BYTE>(t), static_cast<BYTE>(i), 0x5A};
                    control.SnapShotBridgeWrite(handle, sizeof(payload), payload);
                    if (control.SnapShotBridgeTell(handle) != int64_t{handle} * 7) {
                        ++wrongAnswers;
                    }
                }
            } catch (const std::exception&) {
                ++wrongAnswers;
            }
        });
    }
    std::string controllerProblem;
    std::thread controller([&] {
        try {
            IBridgeStream& end = line.Controller();
            DWORD expectedId = 0;
            for (int messages = 0; messages < 2 * THREADS * ROUNDS; ++messages) {
                const BYTE code = ReadU8(end);
                const WORD handle = ReadU16(end);
                if (code == 0xE3) {
                    BYTE payload[3];
                    if (ReadU32(end) != 3) {
                        throw std::runtime_error("bad count");
                    }
                    end.Read(payload, 3);
                    if (payload[0] * 100 + payload[1] != handle || payload[2] != 0x5A) {
                        throw std::runtime_error("interleaved data");
                    }
                } else if (code == 0xE4) {
                    const DWORD id = ReadU32(end);
                    if (id != expectedId++) {
                        throw std::runtime_error("ids out of order");
                    }
                    WriteU8(line.Controller(), 0xE4);
                    WriteU32(line.Controller(), id);
                    WriteI64(line.Controller(), int64_t{handle} * 7);
                } else {
                    throw std::runtime_error("unexpected message");
                }
            }
        } catch (const std::exception& e) {
            controllerProblem = e.what();
            line.Hangup();
        }
    });
    {
        CommandReader reader(processor, line);
        controller.join();
        for (std::thread& requester : requesters) {
            requester.join();
        }
    }
    EXPECT_EQ(controllerProblem, "");
    EXPECT_EQ(wrongAnswers, 0);
}

}  // namespace
