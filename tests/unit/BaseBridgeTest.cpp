#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/BridgeSnapShotStorage.h"
#include "Bridge/FileSnapShotStorage.h"
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

using namespace std::chrono_literals;

// A string as the layout gives it: the byte length as a counter (one byte below 0x80, two below
// 0x4000), then the bytes.
Bytes StringBytes(const std::string& text) {
    Bytes bytes;
    if (text.size() < 0x80) {
        bytes.push_back(static_cast<BYTE>(text.size()));
    } else {
        bytes.push_back(static_cast<BYTE>(0x80 | (text.size() >> 8)));
        bytes.push_back(static_cast<BYTE>(text.size() & 0xFF));
    }
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// The log's lines with the thread prefix ("%08X %p ") removed: the bridge logs on its worker
// thread. Continuation lines (starting with a tab) stay as they are.
std::vector<std::string> LogTexts() {
    const size_t prefixLength = LogLinePrefix().size();
    std::vector<std::string> texts;
    for (std::string& line : ReadLogLinesAfterRecord()) {
        texts.push_back(
            line.rfind('\t', 0) == 0 ? line : line.substr(std::min(prefixLength, line.size())));
    }
    return texts;
}

bool LogHasText(const std::string& text) {
    std::vector<std::string> texts = LogTexts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// `count` texts of the log from the one that is `first` on.
std::vector<std::string> TextsFrom(const std::string& first, size_t count) {
    std::vector<std::string> texts = LogTexts();
    auto it = std::find(texts.begin(), texts.end(), first);
    if (it == texts.end()) {
        ADD_FAILURE() << "no log line " << first;
        return {};
    }
    const auto end = texts.end() - it > static_cast<std::ptrdiff_t>(count)
                         ? it + static_cast<std::ptrdiff_t>(count)
                         : texts.end();
    return std::vector<std::string>(it, end);
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
    const Bytes expected = Concat({
        {0x3E, 0x2D, 0x1C, 0x0B, 0x50, 0x4F, 0x17, 0x46, 0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8,
         0xF9},
        {0x21, 0x9E, 0x0C, 0x5A, 0x3D, 0x7B, 0x8F, 0x4E, 0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60,
         0x71},
        {0x00},
        Le32(Platform::GetCurrentProcessId()),
        StringBytes(commandLine),
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

struct Refusal {
    const char* pName;
    std::function<void(HandshakeAnswers&, TestClientInfo&)> refuse;
    const char* pLoggedError;
};

void PrintTo(const Refusal& refusal, std::ostream* os) {
    *os << refusal.pName;
}

class BaseBridgeRefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(BaseBridgeRefusalTest, EndsTheWorkerAndFailsConnect) {
    ScopedLog log(0);
    BridgeHarness harness;
    HandshakeAnswers answers;
    GetParam().refuse(answers, harness.m_Info);

    EXPECT_EQ(harness.Connect(answers), "Thread abnormally finished");
    DWORD result = 0;
    ASSERT_TRUE(harness.m_PALTools.WaitForServiceEnd(BridgeLine::Patience, &result));
    EXPECT_EQ(result, 0x80000000u);
    EXPECT_TRUE(LogHasText(std::string("ERROR: ") + GetParam().pLoggedError));
    // Nothing is sent back after the refusal; no processor is left.
    EXPECT_EQ(harness.Line().ToController().Available(), 0u);
    EXPECT_EQ(harness.Processor(), nullptr);
    EXPECT_EQ(harness.GetBridge().GetControl(), nullptr);
    EXPECT_EQ(ErrorText([&] { harness.GetBridge().ActivateCommands(); }), "No command processor");
    EXPECT_EQ(ErrorText([&] { harness.GetBridge().DeactivateCommands(); }), "No command processor");
    EXPECT_EQ(harness.m_PALTools.CloseStreamCalls(), 1u);
    // Dropped exactly once: one more release would wrap the count.
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
    harness.Close();
    EXPECT_EQ(harness.m_PALTools.References(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Handshake, BaseBridgeRefusalTest,
    testing::Values(
        Refusal{"Version",
                [](HandshakeAnswers& a, TestClientInfo&) { a.m_VersionAccepted = false; },
                "Incompatible bridge version"},
        Refusal{"Connection",
                [](HandshakeAnswers& a, TestClientInfo&) { a.m_ConnectionAccepted = false; },
                "Unaccepted connection"},
        Refusal{"Run", [](HandshakeAnswers& a, TestClientInfo&) { a.m_Run = false; },
                "Failed to run"},
        Refusal{"Processor",
                [](HandshakeAnswers&, TestClientInfo& info) { info.m_RefuseProcessor = true; },
                "Can't create command processor"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.pName); });

// Runs fn on a thread of its own; false when it has not returned in time (it is then left behind).
bool ReturnsInTime(std::function<void()> fn) {
    auto pDone = std::make_shared<std::promise<void>>();
    std::future<void> done = pDone->get_future();
    std::thread([fn, pDone] {
        fn();
        pDone->set_value();
    }).detach();
    return done.wait_for(BridgeLine::Patience) == std::future_status::ready;
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
    EXPECT_EQ(TextsFrom(header, 3),
              (std::vector<std::string>{header, "\tfirst line", "\tsecond line"}));

    // A warning travels through the bridge while the log lock is held, with bridge logging on:
    // the bridge must not log on that path.
    ASSERT_TRUE(ReturnsInTime([] { Log::Warning("w"); }));
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

    const GUID none = {};
    Bridge anonymous(none, BridgeHarness::ServiceId, &tools);
    EXPECT_EQ(ErrorText([&] { anonymous.SetClient(&info, &event); }),
              "assertion: !IsEqualGUID(m_ProcessGuid, GUID_NULL)");
}
#endif

}  // namespace
