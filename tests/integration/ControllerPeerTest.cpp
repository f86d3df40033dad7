// The controller session against a profiler played by hand: raw bytes over a real loopback
// connection, built from the handshake and message tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "Controller/Session.h"
#include "Platform/Socket.h"
#include "support/ErrorText.h"
#include "support/FakeProfilerPeer.h"
#include "support/WireBytes.h"

using namespace Controller;
using namespace WireBytes;
using testing::HasSubstr;

namespace {

constexpr DWORD kGenerousMs = 30000;

SessionOptions QuietOptions() {
    SessionOptions options;
    options.idleInterval = INFINITE;  // no idle bytes among the replies the tests read
    return options;
}

// The controller's answers (messages 2 and 10 to 17) for default options, controller text "hi"
// and a performance profiler.
const Bytes kDefaultPerformanceAnswers = {
    0x01,                          // version accepted
    0x01, 0x01, 0x00, 0x00,        // accepted, bridge stream, manual, no flags
    0x02, 'h',  'i',               // controller text
    0x00, 0x01, 0x00, 0x00, 0x00,  // settings flags and measure kind
    0x00, 0x00, 0x00, 0x00, 0x00,  // filter u32 and text
    0x00, 0x00,                    // no filter records
    0x01,                          // run
};

SessionOptions WithControllerText(SessionOptions options) {
    options.controllerText = "hi";
    return options;
}

// A session that has finished the handshake with a fake performance profiler.
struct ConnectedPair {
    explicit ConnectedPair(SessionOptions options = QuietOptions())
        : session(WithControllerText(std::move(options))), peer(session.Listen(0)) {
        peer.Send(Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes, {"X=1"})}));
        session.Accept(kGenerousMs);
        EXPECT_EQ(kDefaultPerformanceAnswers, peer.Receive(kDefaultPerformanceAnswers.size()));
    }
    Session session;
    FakeProfilerPeer peer;
};

std::string TextOf(const std::optional<ControllerEvent>& event) {
    return event ? event->text : "(no event)";
}

}  // namespace

TEST(ControllerPeer, HandshakeCommandsAndABridgeSnapshot) {
    ConnectedPair pair;
    Session& session = pair.session;
    FakeProfilerPeer& peer = pair.peer;
    const ProcessInfo& info = session.GetProcessInfo();
    EXPECT_EQ(HandshakeOutcome::Running, info.outcome);
    EXPECT_EQ(ProfilerKind::Performance, info.kind);
    EXPECT_EQ(0x1234u, info.processId);
    EXPECT_EQ("\"/bin/app\" -x", info.commandLine);
    EXPECT_EQ(std::vector<std::string>{"X=1"}, info.environment);
    EXPECT_TRUE(session.IsConnected());

    session.Start();
    session.ChangeLogMask(0x11223344, 0x55);
    session.ChangeSnapShotType(0);
    session.StopSave();
    session.ForceGC();
    session.Dump();
    session.StopDrop();
    session.Idle();
    const Bytes commands = {0x10, 0xFD, 0x44, 0x33, 0x22, 0x11, 0x55, 0x00, 0x00,
                            0x00, 0xFE, 0x00, 0x12, 0x20, 0x21, 0x11, 0xFF};
    EXPECT_EQ(commands, peer.Receive(commands.size()));

    peer.Send({0x90});
    peer.Send(Concat({{0xE0}, U32(0x46505651)}));
    const uint16_t handle = peer.CreateSection(0);
    peer.Send(Concat({{0xE3}, U16(handle), U32(4), {'d', 'a', 't', 'a'}}));
    peer.Send(Concat({{0xE4}, U16(handle), U32(1)}));
    EXPECT_EQ(Concat({{0xE4}, U32(1), U64(4)}), peer.Receive(13));
    peer.Send(Concat({{0xE5}, U16(handle), {0x01}, U64(2)}));
    peer.Send(Concat({{0xE3}, U16(handle), U32(1), {'!'}}));
    peer.Send(Concat({{0xE2}, U16(handle), U16(0x0000), U16(0)}));
    peer.Send(Concat({{0xFE, 0x00}, ShortText("WARNING: slow")}));
    peer.Send(Concat({{0xE7}, U32(0), ProcessGuidBytes, U32(1)}));
    peer.Send({0x91});

    const auto snapshot = session.WaitFor(EventKind::Snapshot, kGenerousMs);
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_TRUE(snapshot->snapshot->complete);
    EXPECT_EQ(0x46505651u, snapshot->snapshot->magic);
    EXPECT_EQ(ProcessGuidValue, snapshot->snapshot->sequence);
    ASSERT_EQ(1u, snapshot->snapshot->sections.size());
    EXPECT_EQ((Bytes{'d', 'a', 't', 'a', 0, 0, '!'}), snapshot->snapshot->sections[0].bytes);

    EXPECT_TRUE(session.WaitFor(EventKind::Started, kGenerousMs).has_value());
    const auto warning = session.WaitFor(EventKind::LogNotification, kGenerousMs);
    ASSERT_TRUE(warning.has_value());
    EXPECT_EQ(0, warning->logKind);
    EXPECT_EQ("WARNING: slow", warning->text);
    EXPECT_TRUE(session.WaitFor(EventKind::Stopped, kGenerousMs).has_value());

    // The profiled process ends normally: no error, and no more commands.
    peer.Close();
    const auto end = session.WaitFor(EventKind::Disconnected, kGenerousMs);
    EXPECT_NE(std::string::npos, TextOf(end).find("closed the connection")) << TextOf(end);
    EXPECT_FALSE(session.WaitFor(EventKind::Error, 0).has_value());
    EXPECT_FALSE(session.IsConnected());
    EXPECT_THROW(session.Start(), std::runtime_error);
}

TEST(ControllerPeer, SendsIdleWhileTheLineIsQuiet) {
    SessionOptions options = QuietOptions();
    options.idleInterval = 20;
    ConnectedPair pair(options);
    EXPECT_EQ((Bytes{0xFF, 0xFF, 0xFF}), pair.peer.Receive(3));
    pair.session.Close();
    EXPECT_TRUE(pair.peer.SeesEndOfStream());
}

TEST(ControllerPeer, ProfilerClosingInTheHandshakeIsReportedWithTheStep) {
    Session session(QuietOptions());
    FakeProfilerPeer peer(session.Listen(0));
    peer.Send(
        Concat({ProtocolGuidBytes, PerformanceClientBytes, ProcessGuidBytes, {0x0A, '/', 't'}}));
    // The close must follow our answer to message 1, which Accept sends before it blocks.
    std::thread closer([&peer] {
        EXPECT_EQ(Bytes{0x01}, peer.Receive(1));
        peer.Close();
    });
    const std::string failure = ErrorText([&] { session.Accept(kGenerousMs); });
    closer.join();
    EXPECT_EQ(
        "The profiled process closed the connection during the handshake, at the log file "
        "path",
        failure);
}

TEST(ControllerPeer, SilentProfilerOrNoProfilerEndsAcceptWithAReason) {
    SessionOptions options = QuietOptions();
    options.handshakeTimeout = 100;
    {
        Session session(options);
        FakeProfilerPeer peer(session.Listen(0));
        peer.Send(ProtocolGuidBytes);
        EXPECT_THAT(ErrorText([&] { session.Accept(kGenerousMs); }),
                    HasSubstr("stopped answering during the handshake, at the profiler kind"));
    }
    Session lonely(options);
    lonely.Listen(0);
    EXPECT_THAT(ErrorText([&] { lonely.Accept(50); }), HasSubstr("No profiled process connected"));
}

TEST(ControllerPeer, RefusedConnectionEndsAfterTheProfilerHasTheAnswer) {
    SessionOptions options = QuietOptions();
    options.acceptConnection = false;
    Session session(options);
    FakeProfilerPeer peer(session.Listen(0));
    peer.Send(Concat({ProtocolGuidBytes, Announcement(MemoryClientBytes)}));
    Bytes answers;
    bool sawEnd = false;
    std::thread profiler([&] {
        answers = peer.Receive(2);
        sawEnd = peer.SeesEndOfStream();
        peer.Close();  // what the profiler does when it is refused
    });
    const ProcessInfo& info = session.Accept(kGenerousMs);
    profiler.join();
    EXPECT_EQ(HandshakeOutcome::ConnectionRefused, info.outcome);
    EXPECT_EQ(ProfilerKind::Memory, info.kind);
    EXPECT_EQ((Bytes{0x01, 0x00}), answers);
    EXPECT_TRUE(sawEnd);
    EXPECT_FALSE(session.IsConnected());
}

TEST(ControllerPeer, ProfilerClosingInTheMiddleOfASnapshotLeavesItIncomplete) {
    ConnectedPair pair;
    pair.peer.Send(Concat({{0xE0}, U32(0x454D5651)}));
    const uint16_t handle = pair.peer.CreateSection(0);
    pair.peer.Send(Concat({{0xE3}, U16(handle), U32(2), {'o', 'k'}}));
    pair.peer.Send(Concat({{0xE3}, U16(handle), U32(10), {'c', 'u', 't'}}));  // cut short
    pair.peer.Close();

    const auto error = pair.session.WaitFor(EventKind::Error, kGenerousMs);
    EXPECT_EQ("The profiled process closed the connection in the middle of a snapshot",
              TextOf(error));
    const auto snapshot = pair.session.WaitFor(EventKind::Snapshot, kGenerousMs);
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_FALSE(snapshot->snapshot->complete);
    EXPECT_NE(std::string::npos, snapshot->snapshot->note.find("closed the connection"));
    ASSERT_EQ(1u, snapshot->snapshot->sections.size());
    EXPECT_FALSE(snapshot->snapshot->sections[0].closed);
    EXPECT_EQ((Bytes{'o', 'k'}), snapshot->snapshot->sections[0].bytes);
    EXPECT_TRUE(pair.session.WaitFor(EventKind::Disconnected, kGenerousMs).has_value());
}

TEST(ControllerPeer, GarbageCodeIsAnErrorThatEndsTheConnection) {
    ConnectedPair pair;
    pair.peer.Send(Concat({{0xE0}, U32(0x46505651)}));
    pair.peer.Send({0x13});

    const auto error = pair.session.WaitFor(EventKind::Error, kGenerousMs);
    EXPECT_NE(std::string::npos, TextOf(error).find("unknown")) << TextOf(error);
    EXPECT_NE(std::string::npos, TextOf(error).find("0x13")) << TextOf(error);
    const auto snapshot = pair.session.WaitFor(EventKind::Snapshot, kGenerousMs);
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_FALSE(snapshot->snapshot->complete);
    EXPECT_TRUE(pair.session.WaitFor(EventKind::Disconnected, kGenerousMs).has_value());
    EXPECT_TRUE(pair.peer.SeesEndOfStream());
}

TEST(ControllerPeer, ProfilerClosingAfterACommandEndsTheSessionCleanly) {
    ConnectedPair pair;
    pair.session.StopSave();
    EXPECT_EQ(Bytes{0x12}, pair.peer.Receive(1));
    pair.peer.Close();
    const auto event =
        pair.session.WaitFor({EventKind::Stopped, EventKind::Disconnected}, kGenerousMs);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(EventKind::Disconnected, event->kind);
    EXPECT_FALSE(pair.session.WaitFor(EventKind::Error, 0).has_value());
    EXPECT_THROW(pair.session.StopSave(), std::runtime_error);
}

TEST(ControllerPeer, ClosingTheSessionKeepsAnUnfinishedSnapshotAsIncomplete) {
    ConnectedPair pair;
    pair.peer.Send(Concat({{0xE0}, U32(0x46505651)}));
    EXPECT_TRUE(pair.session.WaitFor(EventKind::SnapshotStarted, kGenerousMs).has_value());
    pair.session.Close();
    const auto snapshot = pair.session.WaitFor(EventKind::Snapshot, 0);
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_FALSE(snapshot->snapshot->complete);
    EXPECT_NE(std::string::npos, snapshot->snapshot->note.find("session was closed"));
    EXPECT_TRUE(pair.peer.SeesEndOfStream());
    pair.session.Close();  // a second close does nothing
}
