// A whole session over loopback between the profiler's end (Bridge over the host's transport, the
// test kinds' client info and measure command processor, and a sink that streams a small snapshot
// on StopSave) and the controller's Session, with the bytes of both directions recorded.
//
// The recordings are the fuzzers' seeds. Capturing them again, from the source directory,
//   QV_FUZZ_SEED_DIR=tests/fuzz/corpus build/dev/tests/integration_tests --gtest_filter=*Recorded*
// writes bridge/<session> (what the controller sent, the bridge fuzzer's input) and
// controller/<session> (what the profiler sent, the controller fuzzer's input).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Controller/ClassTable.h"
#include "Controller/MetaDataSection.h"
#include "Controller/ModulePathSection.h"
#include "Controller/Session.h"
#include "Host/PALThreads.h"
#include "Host/PALTools.h"
#include "Platform/Clock.h"
#include "Profiler/Test/TestProfilerClientInfo.h"
#include "Util/ComponentMask.h"
#include "WinCE/Bridge.h"
#include "support/ErrorText.h"
#include "support/RecordingPALTools.h"
#include "support/ScopedBridgeAddress.h"
#include "support/ScopedLog.h"
#include "support/ScopedPALThreads.h"
#include "support/ScriptedMeasureSink.h"
#include "support/WaitUntil.h"
#include "support/WireBytes.h"

using namespace WireBytes;
using Controller::EventKind;
using Controller::Session;
using Controller::SessionOptions;

namespace {

constexpr DWORD kGenerousMs = 30000;
constexpr auto kGenerous = std::chrono::milliseconds(kGenerousMs);
// {5A0C9E21-7B3D-4E8F-9A1B-2C3D4E5F6071}
constexpr GUID kProcessGuid = {
    0x5A0C9E21, 0x7B3D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};
constexpr const WCHAR* kServiceId = u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";

void ShortPause(DWORD) {
    Platform::Sleep(1);
}

void WriteSeed(const std::string& kind, const std::string& name, const Bytes& bytes) {
    const char* pDirectory = std::getenv("QV_FUZZ_SEED_DIR");
    if (pDirectory == nullptr) {
        return;
    }
    const std::filesystem::path path = std::filesystem::path(pDirectory) / kind / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

struct SessionCase {
    const char* pName;
    void (*configure)(SessionOptions&);
    // The first error the profiler reports, and the sink calls that fail on the way.
    const char* pReportedError;
    int failedCalls;
};

void PrintTo(const SessionCase& session, std::ostream* os) {
    *os << session.pName;
}

class RecordedSession : public testing::TestWithParam<SessionCase> {};

// Start, StopSave (a snapshot of five sections), StopSave with an unknown snapshot type, StopDrop,
// with log mask changes around them.
TEST_P(RecordedSession, StreamsTheScriptedSnapshotAndReportsFailures) {
    ScopedLog log(0);
    PALThreads* pThreads = new PALThreads();
    ScopedPALThreads threads(pThreads);
    pThreads->Release();

    SessionOptions options;
    options.idleInterval = INFINITE;  // only the Idle bytes the test sends
    GetParam().configure(options);
    Session session(options);
    ScopedBridgeAddress address(session.Listen(0));
    PALTools* pTransport = new PALTools();
    RecordingPALTools tools(pTransport);
    std::optional<Controller::ControllerEvent> streamed;
    std::optional<Controller::ControllerEvent> reported;
    {
        TestProfilerClientInfo info;
        ScriptedMeasureSink sink;
        Bridge bridge(kProcessGuid, kServiceId, &tools, &ShortPause);
        sink.SetBridge(&bridge);
        bridge.SetClient(&info, &sink);
        auto connecting =
            std::async(std::launch::async, [&] { return ErrorText([&] { bridge.Connect(); }); });
        session.Accept(kGenerousMs);
        ASSERT_EQ(connecting.wait_for(kGenerous), std::future_status::ready);
        ASSERT_EQ(connecting.get(), "(nothing raised)");
        bridge.ActivateCommands();

        const ComponentMask bridgeLog = ComponentBit(LogComponent::Bridge);
        session.ChangeLogMask(bridgeLog, 0);
        session.Start();
        session.StopSave();
        streamed = session.WaitFor(EventKind::Snapshot, kGenerousMs);
        session.ChangeSnapShotType(2);
        session.StopSave();
        // The type goes back only once the queued StopSave has run with type 2.
        EXPECT_TRUE(WaitUntil([&] { return sink.CallsEnded() == 3; }));
        session.ChangeSnapShotType(1);
        session.StopDrop();
        session.ChangeLogMask(0, bridgeLog);
        reported = session.WaitFor(EventKind::LogNotification, kGenerousMs);
        EXPECT_TRUE(WaitUntil([&] { return sink.CallsEnded() == 4; }));
        EXPECT_EQ(sink.CallsFailed(), GetParam().failedCalls);
        EXPECT_EQ(sink.SnapshotsClosed(), 1);

        bridge.DeactivateCommands();
        // The worker sees the stop after the controller's next byte.
        auto closing = std::async(std::launch::async, [&] { bridge.Close(); });
        EXPECT_TRUE(WaitUntil([&] {
            if (closing.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready) {
                return true;
            }
            try {
                session.Idle();
            } catch (const std::runtime_error&) {
                // The worker has seen the stop and ended the connection.
            }
            return false;
        }));
    }
    session.Close();
    EXPECT_TRUE(pTransport->WaitForServices(kGenerousMs));
    pTransport->Release();

    ASSERT_TRUE(streamed && streamed->snapshot);
    const Controller::Snapshot& snapshot = *streamed->snapshot;
    EXPECT_TRUE(snapshot.complete) << snapshot.note;
    ASSERT_EQ(snapshot.sections.size(), 5u);
    EXPECT_EQ(snapshot.sections[0].type, ScriptedMeasureSink::HeaderSectionType);
    // The count patched in through the tell and the seeks.
    EXPECT_EQ(snapshot.sections[0].bytes, Concat({U32(8), U32(0xCAFE), U16(0)}));
    const auto metadata = Controller::ReadMetaDataSection(snapshot.sections[1]);
    ASSERT_EQ(metadata.size(), 1u);
    EXPECT_EQ(metadata[0].index, 1u);
    const auto paths = Controller::ReadModulePathSection(snapshot.sections[2]);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].paths, std::vector<std::string>{ScriptedMeasureSink::ModulePath});
    const auto classes =
        Controller::ClassTable::Read(snapshot.sections[3], snapshot.sections[4]).Records();
    ASSERT_EQ(classes.size(), 2u);
    EXPECT_EQ(classes[1].position, ScriptedMeasureSink::GenericClassPosition);
    EXPECT_EQ(classes[1].parent, 0);
    EXPECT_EQ(classes[1].typeArguments, std::vector<int64_t>{0});
    ASSERT_TRUE(reported);
    EXPECT_EQ(reported->logKind, 1);
    EXPECT_NE(reported->text.find(GetParam().pReportedError), std::string::npos) << reported->text;

    const Bytes received = tools.Received();
    const Bytes sent = tools.Sent();
    ASSERT_GE(sent.size(), ProtocolGuidBytes.size());
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 16), ProtocolGuidBytes);
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received[0], 0x01);  // version accepted
    WriteSeed("bridge", GetParam().pName, received);
    WriteSeed("controller", GetParam().pName, sent);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, RecordedSession,
    testing::Values(
        // Manual control: Started and Stopped are sent; the unknown snapshot type is reported.
        SessionCase{"manual", [](SessionOptions&) {}, "Unknown bridge type", 1},
        // Application control, with named flags, controller text and filter records: every
        // state message is refused, and the first refusal is reported.
        SessionCase{"api",
                    [](SessionOptions& options) {
                        options.controlKind = Controller::ControlKindApi;
                        options.namedFlags = {{u"Alpha", true}, {u"B\u00E9ta", false}};
                        options.controllerText = "recorded\r\nsession";
                        options.performance.filterFlags = 3;
                        options.performance.filterText = u"Sample*";
                        options.performance.includeFilters = {{u"Sample.dll", u"App.*", u"Run"}};
                        options.performance.excludeFilters = {{u"*", u"System.*", u"*"}};
                    },
                    "API is used", 4}),
    [](const testing::TestParamInfo<SessionCase>& info) { return std::string(info.param.pName); });

}  // namespace
