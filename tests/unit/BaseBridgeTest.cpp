// The profiler's bridge to the controller over a fake host transport: the handshake byte by byte,
// refusals, the choices it keeps, the storage it picks, chunked writes, paced reads, and how the
// worker ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/BridgeSnapShotStorage.h"
#include "Bridge/FileSnapShotStorage.h"
#include "Platform/Com.h"
#include "Platform/Process.h"
#include "Util/Log.h"
#include "Util/Utf8.h"
#include "support/BridgeHarness.h"
#include "support/Bytes.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/ScopedLog.h"
#include "support/SleepRecorder.h"

namespace {

// The log's texts from `first` on, `count` of them, with the thread prefix removed: the bridge
// logs on its worker thread. Continuation lines (starting with a tab) stay as they are.
std::vector<std::string> LogTexts(const std::string& first, size_t count = 1) {
    const size_t prefixLength = LogLinePrefix().size();
    std::vector<std::string> texts;
    for (std::string& line : ReadLogLinesAfterRecord()) {
        texts.push_back(
            line.rfind('\t', 0) == 0 ? line : line.substr(std::min(prefixLength, line.size())));
    }
    auto it = std::find(texts.begin(), texts.end(), first);
    return std::vector<std::string>(it, it + std::min<std::ptrdiff_t>(count, texts.end() - it));
}

bool LogHasText(const std::string& text) {
    return !LogTexts(text).empty();
}

TEST(BaseBridgeTest, HandshakeSendsTheTableSequenceAndActivatesTheProcessor) {
    BridgeHarness harness;
    BridgeLine& line = harness.Line();
    auto connecting = std::async(std::launch::async, [&] { harness.GetBridge().Connect(); });

    // 1: the protocol identifier.
    EXPECT_EQ(line.Receive(16), (Bytes{0x5E, 0x2A, 0xA7, 0xE7, 0x1C, 0x09, 0xAB, 0x44, 0x90, 0x17,
                                       0x29, 0x14, 0xA3, 0xE9, 0xCB, 0x0D}));
    line.Send({0x01});
    // 3 to 9: client, process, log path (no log open), process id, command line, no environment.
    const std::string commandLine = ToUtf8(Platform::ComposeProcessCommandLine());
    Bytes length{BYTE(commandLine.size())};
    if (commandLine.size() >= 0x80) {
        length = {BYTE(0x80 | (commandLine.size() >> 8)), BYTE(commandLine.size() & 0xFF)};
    }
    const Bytes expected = Concat({
        {0x3E, 0x2D, 0x1C, 0x0B, 0x50, 0x4F, 0x17, 0x46, 0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8,
         0xF9},
        {0x21, 0x9E, 0x0C, 0x5A, 0x3D, 0x7B, 0x8F, 0x4E, 0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60,
         0x71},
        {0x00},
        Le32(Platform::GetCurrentProcessId()),
        length,
        Ascii(commandLine),
        {0x00, 0x00},
    });
    EXPECT_EQ(line.Receive(expected.size()), expected);
    // 10 to 17: accepted, bridge stream, manual, no flags, no text, the settings (u32, bool), run.
    line.Send({0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0x01, 0x01});
    ASSERT_EQ(connecting.wait_for(BridgeLine::Patience), std::future_status::ready);
    connecting.get();

    EXPECT_EQ(harness.m_PALTools.ServiceId(), std::u16string(BridgeHarness::ServiceId));
    EXPECT_TRUE(harness.m_Info.m_SettingsRead);
    EXPECT_EQ(harness.m_Info.m_SettingsValue, 0x01020304u);
    EXPECT_TRUE(harness.m_Info.m_SettingsFlag);
    EXPECT_EQ(harness.m_Info.m_ControlKind, 0u);
    EXPECT_EQ(harness.m_Info.m_SnapshotType, 1u);
    EXPECT_EQ(harness.m_Info.m_pEvent, &harness.m_Event);
    ASSERT_NE(harness.Processor(), nullptr);
    EXPECT_EQ(harness.GetBridge().GetControl(), harness.Processor()->GetControl());
    EXPECT_TRUE(harness.GetBridge().GetNamedFlags().empty());

    // Activated: warnings now reach the controller too.
    Log::Warning("hello");
    EXPECT_EQ(line.Receive(8), (Bytes{0xFE, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'}));

    harness.Close();
    EXPECT_EQ(harness.GetBridge().GetControl(), nullptr);
    EXPECT_EQ(harness.m_PALTools.CloseStreamCalls(), 1u);
    EXPECT_EQ(harness.m_PALTools.ClosedStream(), FakePALTools::DefaultStream);
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
    // The closed processor is no longer the log's sink.
    Log::Warning("not sent");
    EXPECT_EQ(line.ToController().Available(), 0u);
}

TEST(BaseBridgeTest, EachRefusalEndsTheWorkerAndFailsConnect) {
    const struct {
        std::function<void(HandshakeAnswers&, TestClientInfo&)> refuse;
        const char* pLoggedError;
    } refusals[] = {
        {[](HandshakeAnswers& a, TestClientInfo&) { a.m_VersionAccepted = false; },
         "Incompatible bridge version"},
        {[](HandshakeAnswers& a, TestClientInfo&) { a.m_ConnectionAccepted = false; },
         "Unaccepted connection"},
        {[](HandshakeAnswers& a, TestClientInfo&) { a.m_Run = false; }, "Failed to run"},
        {[](HandshakeAnswers&, TestClientInfo& info) { info.m_RefuseProcessor = true; },
         "Can't create command processor"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.pLoggedError);
        ScopedLog log(0);
        BridgeHarness harness;
        HandshakeAnswers answers;
        refusal.refuse(answers, harness.m_Info);
        EXPECT_EQ(harness.Connect(answers), "Thread abnormally finished");
        DWORD result = 0;
        ASSERT_TRUE(harness.m_PALTools.WaitForServiceEnd(BridgeLine::Patience, &result));
        EXPECT_EQ(result, 0x80000000u);
        EXPECT_TRUE(LogHasText(std::string("ERROR: ") + refusal.pLoggedError));
        // Nothing is sent back after the refusal; no processor is left.
        EXPECT_EQ(harness.Line().ToController().Available(), 0u);
        EXPECT_EQ(harness.Processor(), nullptr);
        EXPECT_EQ(harness.GetBridge().GetControl(), nullptr);
        EXPECT_EQ(ErrorText([&] { harness.GetBridge().ActivateCommands(); }),
                  "No command processor");
        EXPECT_EQ(ErrorText([&] { harness.GetBridge().DeactivateCommands(); }),
                  "No command processor");
        EXPECT_EQ(harness.m_PALTools.CloseStreamCalls(), 1u);
        // Dropped exactly once: one more release would wrap the count.
        EXPECT_EQ(harness.m_PALTools.References(), 0u);
        harness.Close();
        EXPECT_EQ(harness.m_PALTools.References(), 0u);
    }
}

TEST(BaseBridgeTest, KeepsFlagsAndTextAndLogsTheChoices) {
    ScopedLog log(ComponentBit(LogComponent::Bridge));
    BridgeHarness harness;
    HandshakeAnswers answers;
    answers.m_SnapshotType = 0;
    answers.m_ControlKind = 1;
    answers.m_Flags = {{u"alpha", true}, {u"b\u00E9ta", false}, {u"alpha", false}};
    answers.m_ControllerText = "first line\r\nsecond line";
    HandshakeHello hello;
    ASSERT_EQ(harness.Connect(answers, &hello), "");

    EXPECT_EQ(hello.m_LogPath, Log::GetFilePath());
    EXPECT_EQ(hello.m_Process, BridgeHarness::ProcessGuid);
    EXPECT_EQ(hello.m_CommandLine, Platform::ComposeProcessCommandLine());
    EXPECT_TRUE(hello.m_Environment.empty());
    const std::map<WString, bool> flags = {{u"alpha", true}, {u"b\u00E9ta", false}};
    EXPECT_EQ(harness.GetBridge().GetNamedFlags(), flags);
    EXPECT_EQ(harness.GetBridge().GetControllerText(), "first line\r\nsecond line");
    EXPECT_EQ(harness.GetBridge().GetControlKind(), 1u);
    EXPECT_EQ(harness.m_Info.m_ControlKind, 1u);
    EXPECT_EQ(harness.m_Info.m_SnapshotType, 0u);
    const std::string header = "BB::TryConnect snapShotType=fileSystem controlKind=api";
    EXPECT_EQ(LogTexts(header, 3),
              (std::vector<std::string>{header, "\tfirst line", "\tsecond line"}));

    // A warning travels through the bridge while the log lock is held, with bridge logging on:
    // the bridge must not log on that path. Run on a thread of its own, left behind if it hangs.
    auto pDone = std::make_shared<std::promise<void>>();
    std::future<void> done = pDone->get_future();
    std::thread([pDone] {
        Log::Warning("w");
        pDone->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(BridgeLine::Patience), std::future_status::ready);
    EXPECT_EQ(harness.Line().Receive(4), (Bytes{0xFE, 0x00, 0x01, 'w'}));

    harness.GetBridge().ActivateCommands();
    harness.GetBridge().ActivateCommands();
    harness.GetBridge().DeactivateCommands();
    EXPECT_EQ(harness.Processor()->m_EnableCalls, 2);
    EXPECT_EQ(harness.Processor()->m_DisableCalls, 1);
    EXPECT_TRUE(LogHasText("BB::ActivateCommands"));
    EXPECT_TRUE(LogHasText("BB::DeactivateCommands"));
    harness.Close();
    EXPECT_TRUE(LogHasText("BB::Close"));
}

TEST(BaseBridgeTest, SnapshotTypeChoosesTheStorage) {
    ScopedLog log(ComponentBit(LogComponent::Bridge));
    BridgeHarness harness;
    HandshakeAnswers answers;
    answers.m_SnapshotType = 2;
    ASSERT_EQ(harness.Connect(answers), "");
    EXPECT_TRUE(LogHasText("BB::TryConnect snapShotType=bridgeStream controlKind=manual"));
    EXPECT_EQ(ErrorText([&] { harness.GetBridge().CreateSnapShotStorage(); }),
              "Unknown bridge type");

    TestCommandProcessor& processor = *harness.Processor();
    auto waitForType = [&](DWORD type) {
        const auto deadline = std::chrono::steady_clock::now() + BridgeLine::Patience;
        while (processor.GetSnapShotType() != type && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        return processor.GetSnapShotType() == type;
    };
    harness.Line().Send({0xFE, 0x01});
    ASSERT_TRUE(waitForType(1));
    auto pStorage = harness.GetBridge().CreateSnapShotStorage();
    EXPECT_NE(dynamic_cast<BridgeSnapShotStorage*>(pStorage.get()), nullptr);
    harness.Line().Send({0xFE, 0x00});
    ASSERT_TRUE(waitForType(0));
    pStorage = harness.GetBridge().CreateSnapShotStorage();
    EXPECT_NE(dynamic_cast<FileSnapShotStorage*>(pStorage.get()), nullptr);
    pStorage.reset();

    harness.Close();
    EXPECT_EQ(ErrorText([&] { harness.GetBridge().CreateSnapShotStorage(); }),
              "No command processor");
}

#ifndef NDEBUG
TEST(BaseBridgeTest, SetClientChecksItsArguments) {
    FakePALTools tools;
    TestClientInfo info;
    TestEventSink event;
    Bridge bridge(BridgeHarness::ProcessGuid, BridgeHarness::ServiceId, &tools);
    EXPECT_EQ(ErrorText([&] { bridge.SetClient(nullptr, &event); }), "assertion: pInfo != NULL");
    EXPECT_EQ(ErrorText([&] { bridge.SetClient(&info, nullptr); }), "assertion: pEvent != NULL");
    // The bridge keeps a reference to the process id: it must outlive the bridge.
    const GUID none = {};
    Bridge anonymous(none, BridgeHarness::ServiceId, &tools);
    EXPECT_EQ(ErrorText([&] { anonymous.SetClient(&info, &event); }),
              "assertion: !IsEqualGUID(m_ProcessGuid, GUID_NULL)");
}
#endif

class BridgeTransportTest : public testing::Test {
protected:
    void SetUp() override { SleepRecorder::Take(); }

    FakePALTools m_Tools;
    Bridge m_Bridge{BridgeHarness::ProcessGuid, BridgeHarness::ServiceId, &m_Tools,
                    &SleepRecorder::Sleep};
};

TEST_F(BridgeTransportTest, ChunkedWritesPacedReadsAndHostFailures) {
    ScopedLog log(ComponentBit(LogComponent::Bridge));
    Bytes data(40000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<BYTE>(i % 251);
    }
    m_Bridge.Write(data.data(), data.size());
    m_Bridge.Write(data.data(), 0);
    EXPECT_EQ(m_Tools.WriteChunks(), (std::vector<DWORD>{16384, 16384, 7232}));
    EXPECT_EQ(m_Tools.Line().ToController().TakeAll(), data);
    EXPECT_EQ(ReadLogLinesAfterRecord(),
              (std::vector<std::string>{LogLinePrefix() + "B::Write size=40000",
                                        LogLinePrefix() + "B::Write size=0"}));

    // Empty reads pause a hundred milliseconds each.
    m_Tools.m_EmptyReads = 3;
    const Bytes sent = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    m_Tools.Line().Send(sent);
    Bytes received(10);
    m_Bridge.Read(received.data(), received.size());
    EXPECT_EQ(received, sent);
    EXPECT_EQ(m_Tools.ReadCalls(), 4u);
    EXPECT_EQ(SleepRecorder::Take(), (std::vector<DWORD>{100, 100, 100}));

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

TEST_F(BridgeTransportTest, WorkerWithoutConnectionOrHandshakeEndsAndConnectFails) {
    m_Tools.m_StreamHandle = nullptr;
    EXPECT_EQ(ErrorText([&] { m_Bridge.Connect(); }), "Thread abnormally finished");
    DWORD result = 0;
    ASSERT_TRUE(m_Tools.WaitForServiceEnd(BridgeLine::Patience, &result));
    EXPECT_EQ(result, 0x80000003u);
    EXPECT_EQ(m_Tools.CloseStreamCalls(), 0u);
    EXPECT_EQ(m_Tools.References(), 0u);

    // A silent controller: the handshake times out.
    FakePALTools tools;
    Bridge bridge(BridgeHarness::ProcessGuid, BridgeHarness::ServiceId, &tools,
                  &SleepRecorder::Sleep);
    TestClientInfo info;
    TestEventSink event;
    bridge.SetClient(&info, &event);
    EXPECT_EQ(ErrorText([&] { bridge.Connect(); }),
              "The controller did not complete the handshake within 10 seconds");
    ASSERT_TRUE(tools.WaitForServiceEnd(BridgeLine::Patience, &result));
    EXPECT_EQ(result, 0x80000000u);
    EXPECT_EQ(tools.References(), 0u);
}

TEST(BridgeTransport, CloseOrHangupEndsTheWorkerAndItsWaitingRequests) {
    {
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
    ScopedLog log(0);
    BridgeHarness harness;
    ASSERT_EQ(harness.Connect(HandshakeAnswers()), "");
    IBridgeControl* pControl = harness.GetBridge().GetControl();
    auto section = std::async(std::launch::async, [&] {
        return ErrorText([&] { pControl->SnapShotBridgeCreateSection(); });
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
                    unexpected += e.Error() != E_POINTER;
                } catch (const std::exception& e) {
                    unexpected += std::string(e.what()).rfind("Can't write data", 0) != 0;
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
