#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Com.h"
#include "Util/Log.h"
#include "WinCE/Bridge.h"
#include "support/BridgeHarness.h"
#include "support/Bytes.h"
#include "support/ErrorText.h"
#include "support/FakePALTools.h"
#include "support/LogFileLines.h"
#include "support/ScopedLog.h"
#include "support/SleepRecorder.h"
#include "support/TestClientInfo.h"
#include "support/TestEventSink.h"

namespace {

using namespace std::chrono_literals;

class BridgeTransportTest : public testing::Test {
protected:
    void SetUp() override { SleepRecorder::Take(); }

    FakePALTools m_Tools;
    Bridge m_Bridge{BridgeHarness::ProcessGuid, BridgeHarness::ServiceId, &m_Tools,
                    &SleepRecorder::Sleep};
};

TEST_F(BridgeTransportTest, WritesGoOutInChunksOfAtMost16384Bytes) {
    ScopedLog log(ComponentBit(LogComponent::Bridge));
    Bytes data(40000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<BYTE>(i % 251);
    }
    m_Bridge.Write(data.data(), data.size());
    m_Bridge.Write(data.data(), 0);

    EXPECT_EQ(m_Tools.WriteChunks(), (std::vector<DWORD>{16384, 16384, 7232}));
    EXPECT_EQ(m_Tools.Line().ToController().TakeAll(), data);
    const std::vector<std::string> lines = ReadLogLinesAfterRecord();
    EXPECT_EQ(lines, (std::vector<std::string>{LogLinePrefix() + "B::Write size=40000",
                                               LogLinePrefix() + "B::Write size=0"}));
}

TEST_F(BridgeTransportTest, EmptyReadsPauseAHundredMillisecondsEach) {
    m_Tools.m_EmptyReads = 3;
    const Bytes sent = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    m_Tools.Line().Send(sent);
    Bytes received(10);
    m_Bridge.Read(received.data(), received.size());

    EXPECT_EQ(received, sent);
    EXPECT_EQ(m_Tools.ReadCalls(), 4u);
    EXPECT_EQ(SleepRecorder::Take(), (std::vector<DWORD>{100, 100, 100}));
}

TEST_F(BridgeTransportTest, HostFailuresRaiseWithTheHostCode) {
    m_Tools.m_WriteStatus = E_FAIL;
    EXPECT_EQ(ErrorText([&] { m_Bridge.Write("x", 1); }),
              "Can't write data (PAL error code 0x80004005)");

    m_Tools.Line().Hangup();
    BYTE byte = 0;
    EXPECT_EQ(ErrorText([&] { m_Bridge.Read(&byte, 1); }),
              "Can't write data (PAL error code 0x8007006d)");
}

TEST_F(BridgeTransportTest, CloseBeforeConnectReturnsAtOnceAndDropsTheReference) {
    EXPECT_EQ(m_Tools.References(), 1u);
    m_Bridge.Close();
    EXPECT_EQ(m_Tools.References(), 0u);
    EXPECT_TRUE(SleepRecorder::Take().empty());
    m_Bridge.Close();
    EXPECT_EQ(m_Tools.References(), 0u);
    EXPECT_EQ(m_Tools.CloseStreamCalls(), 0u);
    // Without the host reference every transfer fails as a null reference would.
    EXPECT_THROW(m_Bridge.Write("x", 1), _com_error);
}

TEST_F(BridgeTransportTest, ServiceThatDoesNotStartFailsConnect) {
    ScopedLog log(ComponentBit(LogComponent::Bridge));
    m_Tools.m_StartStatus = MakeHResult(0x80000019);
    EXPECT_EQ(ErrorText([&] { m_Bridge.Connect(); }),
              "Can't start service (PAL error code 0x80000019)");
    EXPECT_EQ(m_Tools.References(), 0u);

    const std::vector<std::string> lines = ReadLogLinesAfterRecord();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              LogLinePrefix() + "B::Connect serviceID='{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}'");
    EXPECT_EQ(lines[1], LogLinePrefix() + "B::Close");
}

TEST_F(BridgeTransportTest, WorkerWithoutConnectionEndsAndConnectFails) {
    m_Tools.m_StreamHandle = nullptr;
    EXPECT_EQ(ErrorText([&] { m_Bridge.Connect(); }), "Thread abnormally finished");
    DWORD result = 0;
    ASSERT_TRUE(m_Tools.WaitForServiceEnd(BridgeLine::Patience, &result));
    EXPECT_EQ(result, 0x80000003u);
    EXPECT_EQ(m_Tools.CloseStreamCalls(), 0u);
    EXPECT_EQ(m_Tools.References(), 0u);
}

TEST_F(BridgeTransportTest, SilentControllerFailsConnectAfterTheHandshakeTimeout) {
    TestClientInfo info;
    TestEventSink event;
    m_Bridge.SetClient(&info, &event);
    EXPECT_EQ(ErrorText([&] { m_Bridge.Connect(); }),
              "The controller did not complete the handshake within 10 seconds");
    DWORD result = 0;
    ASSERT_TRUE(m_Tools.WaitForServiceEnd(BridgeLine::Patience, &result));
    EXPECT_EQ(result, 0x80000000u);
    EXPECT_EQ(m_Tools.References(), 0u);
}

TEST(BridgeTransport, CloseEndsTheWorkerWhileTheControllerIsSilent) {
    BridgeHarness harness;
    ASSERT_EQ(harness.Connect(HandshakeAnswers()), "");
    // The worker sits in Read with nothing coming: it sees the stop at its next empty read.
    auto closing = std::async(std::launch::async, [&] { harness.GetBridge().Close(); });
    ASSERT_EQ(closing.wait_for(BridgeLine::Patience), std::future_status::ready);
    closing.get();
    DWORD result = 1;
    ASSERT_TRUE(harness.m_PALTools.WaitForServiceEnd(BridgeLine::Patience, &result));
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
}

TEST(BridgeTransport, ControllerHangingUpEndsTheWorkerAndItsWaitingRequests) {
    ScopedLog log(0);
    BridgeHarness harness;
    ASSERT_EQ(harness.Connect(HandshakeAnswers()), "");
    IBridgeControl* pControl = harness.GetBridge().GetControl();
    auto section = std::async(std::launch::async, [&] {
        try {
            pControl->SnapShotBridgeCreateSection();
            return std::string("(a handle came)");
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    });
    EXPECT_EQ(harness.Line().Receive(5), Concat({{0xE1}, Le32(0)}));
    harness.Line().Hangup();

    ASSERT_EQ(section.wait_for(BridgeLine::Patience), std::future_status::ready);
    EXPECT_EQ(section.get(), "Event waiting was interrupted");
    DWORD result = 0;
    ASSERT_TRUE(harness.m_PALTools.WaitForServiceEnd(BridgeLine::Patience, &result));
    EXPECT_EQ(result, 0x80000000u);
    EXPECT_EQ(harness.m_PALTools.CloseStreamCalls(), 1u);
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
    harness.Close();
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
}

// Profiler threads keep writing while the controller hangs up and the worker drops the host
// reference: every write either goes out or fails cleanly, and the reference goes exactly once.
TEST(BridgeTransportConcurrent, WritersRacingTheWorkersEndFailCleanly) {
    BridgeHarness harness;
    ASSERT_EQ(harness.Connect(HandshakeAnswers()), "");
    std::atomic<bool> go{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            while (!go) {
                std::this_thread::yield();
            }
            const BYTE data[64] = {};
            for (int i = 0; i < 500; ++i) {
                try {
                    harness.GetBridge().Write(data, sizeof(data));
                } catch (const _com_error& e) {
                    if (e.Error() != E_POINTER) {
                        ++unexpected;
                    }
                } catch (const std::exception& e) {
                    if (std::string(e.what()).rfind("Can't write data", 0) != 0) {
                        ++unexpected;
                    }
                }
            }
        });
    }
    go = true;
    harness.Line().Hangup();
    ASSERT_TRUE(harness.m_PALTools.WaitForServiceEnd(BridgeLine::Patience));
    for (std::thread& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
    harness.Close();
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
}

}  // namespace
