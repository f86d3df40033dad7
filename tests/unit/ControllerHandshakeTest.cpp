#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Bridge/MemoryBridgeStream.h"
#include "Controller/ControllerHandshake.h"
#include "support/WireBytes.h"

using namespace Controller;
using namespace WireBytes;

namespace {

struct Exchange {
    MemoryBridgeStream in;
    MemoryBridgeStream out;
    explicit Exchange(const Bytes& fromProfiler) : in(fromProfiler) {}
    Bytes Sent() const { return out.GetContent(); }
};

// Runs the handshake and returns the failure text, or "" when it succeeded.
std::string FailureOf(Exchange& exchange, const SessionOptions& options) {
    try {
        ControllerHandshake::Run(exchange.in, exchange.out, options);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(ControllerHandshake, AnswersAPerformanceProfilerInTableOrder) {
    SessionOptions options;
    options.snapshotType = 0;
    options.controlKind = 1;
    options.namedFlags = {{u"flagA", true}, {u"\u03A9", false}};
    options.controllerText = "ctl\r\ntext";
    options.performance.startAtInitialization = true;
    options.performance.allowInlining = false;
    options.performance.measureKind = 2;
    options.performance.mergeThreadsByName = true;
    options.performance.precision = true;
    options.performance.filterFlags = 0x01020304;
    options.performance.filterText = u"f";
    options.performance.includeFilters = {{u"m", u"t", u"x"}};

    Exchange exchange(
        Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes, {"A=1", "B=2"})}));
    const ProcessInfo info = ControllerHandshake::Run(exchange.in, exchange.out, options);

    const Bytes expected = {
        0x01,                                                  // 2 version accepted
        0x01, 0x00, 0x01, 0x02,                                // 10-13
        0x05, 'f', 'l', 'a', 'g', 'A', 0x01,                   // 14
        0x02, 0xCE, 0xA9, 0x00,                                //
        0x09, 'c', 't', 'l', 0x0D, 0x0A, 't', 'e', 'x', 't',   // 15
        0x01, 0x00, 0x02, 0x01, 0x01,                          // 16 flags and measure kind
        0x04, 0x03, 0x02, 0x01, 0x01, 'f',                     //    filter u32 and text
        0x01, 0x01, 'm', 0x01, 't', 0x01, 'x',                 //    one include record
        0x00,                                                  //    no exclude records
        0x01,                                                  // 17 run
    };
    EXPECT_EQ(expected, exchange.Sent());
    EXPECT_EQ(0u, exchange.in.GetRemaining());

    EXPECT_EQ(HandshakeOutcome::Running, info.outcome);
    EXPECT_EQ(ProfilerKind::Performance, info.kind);
    EXPECT_EQ(ProcessGuidValue, info.processGuid);
    EXPECT_EQ("/tmp/l.log", info.logFilePath);
    EXPECT_EQ(0x1234u, info.processId);
    EXPECT_EQ("\"/bin/app\" -x", info.commandLine);
    EXPECT_EQ((std::vector<std::string>{"A=1", "B=2"}), info.environment);
}

TEST(ControllerHandshake, SendsTheMemorySettingsToAMemoryProfiler) {
    SessionOptions options;
    options.memory.snapshotAtStart = true;
    options.memory.allocationsFactor = 0x10;
    options.memory.trackFinalizers = true;
    options.memory.unusedFlag5 = true;

    Exchange exchange(Concat({ProtocolGuidBytes, Announcement(MemoryClientBytes)}));
    const ProcessInfo info = ControllerHandshake::Run(exchange.in, exchange.out, options);

    const Bytes expected = {0x01, 0x01, 0x01, 0x00, 0x00, 0x00,
                            0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01};
    EXPECT_EQ(expected, exchange.Sent());
    EXPECT_EQ(ProfilerKind::Memory, info.kind);
    EXPECT_TRUE(info.environment.empty());
}

TEST(ControllerHandshake, RefusesWhereTheOptionsOrTheCallerSay) {
    const Bytes fromProfiler = Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes)});
    const struct {
        void (*change)(SessionOptions&);
        HandshakeOutcome outcome;
        Bytes sent;  // empty: anything ending in a refused run
    } cases[] = {
        // Nothing after a refused version is read.
        {[](SessionOptions& o) { o.acceptVersion = false; },
         HandshakeOutcome::VersionRefused,
         {0x00}},
        {[](SessionOptions& o) { o.acceptConnection = false; },
         HandshakeOutcome::ConnectionRefused,
         {0x01, 0x00}},
        {[](SessionOptions& o) { o.acceptProcess = [](const ProcessInfo&) { return false; }; },
         HandshakeOutcome::ConnectionRefused,
         {0x01, 0x00}},
        {[](SessionOptions& o) { o.run = false; }, HandshakeOutcome::RunRefused, {}},
    };
    for (const auto& c : cases) {
        SessionOptions options;
        c.change(options);
        Exchange exchange(fromProfiler);
        EXPECT_EQ(c.outcome, ControllerHandshake::Run(exchange.in, exchange.out, options).outcome);
        if (c.sent.empty()) {
            ASSERT_FALSE(exchange.Sent().empty());
            EXPECT_EQ(0x00, exchange.Sent().back());
        } else {
            EXPECT_EQ(c.sent, exchange.Sent());
        }
        if (c.outcome == HandshakeOutcome::VersionRefused) {
            EXPECT_EQ(fromProfiler.size() - 16, exchange.in.GetRemaining());
        }
    }
    // The caller sees each process before the answer.
    SessionOptions options;
    ProcessInfo seen;
    options.acceptProcess = [&](const ProcessInfo& info) {
        seen = info;
        return true;
    };
    Exchange exchange(fromProfiler);
    EXPECT_EQ(HandshakeOutcome::Running,
              ControllerHandshake::Run(exchange.in, exchange.out, options).outcome);
    EXPECT_EQ(0x1234u, seen.processId);
    EXPECT_EQ("\"/bin/app\" -x", seen.commandLine);
}

TEST(ControllerHandshake, RefusesAForeignProtocolOrKindAndSaysWhich) {
    Bytes foreignProtocol = ProtocolGuidBytes;
    foreignProtocol[0] ^= 0xFF;
    Exchange wrongProtocol(Concat({foreignProtocol, Announcement(PerformanceClientBytes)}));
    const std::string protocolFailure = FailureOf(wrongProtocol, SessionOptions());
    EXPECT_NE(std::string::npos, protocolFailure.find("bridge protocol {E7A72AA1-"))
        << protocolFailure;
    EXPECT_EQ(Bytes{0x00}, wrongProtocol.Sent());

    Bytes foreignKind = MemoryClientBytes;
    foreignKind[15] = 0x00;
    Exchange wrongKind(Concat({ProtocolGuidBytes, Announcement(foreignKind)}));
    const std::string kindFailure = FailureOf(wrongKind, SessionOptions());
    EXPECT_NE(std::string::npos,
              kindFailure.find("unknown profiler kind {F19A68A9-CA9B-4A2E-80C6-8E21F080EA00}"))
        << kindFailure;
    EXPECT_EQ((Bytes{0x01, 0x00}), wrongKind.Sent());
}

TEST(ControllerHandshake, CutShortAnnouncementNamesTheStep) {
    const Bytes full = Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes, {"A=1"})});
    const struct {
        size_t length;
        const char* step;
    } cuts[] = {
        {8, "the bridge protocol identifier"},
        {16, "the profiler kind"},
        {40, "the process identity"},
        {50, "the log file path"},
        {60, "the process id"},
        {70, "the command line"},
        {78, "the environment string count"},
        {full.size() - 1, "the environment strings"},
    };
    for (const auto& cut : cuts) {
        Exchange exchange(Bytes(full.begin(), full.begin() + cut.length));
        const std::string failure = FailureOf(exchange, SessionOptions());
        EXPECT_NE(std::string::npos, failure.find(cut.step)) << cut.length << ": " << failure;
    }
    // A command line claiming 0x1FFFFFFF bytes is refused before any of them is read.
    Exchange overlong(Concat({ProtocolGuidBytes, PerformanceClientBytes, ProcessGuidBytes,
                              ShortText(""), U32(1), Bytes{0xDF, 0xFF, 0xFF, 0xFF}}));
    const std::string failure = FailureOf(overlong, SessionOptions());
    EXPECT_NE(std::string::npos, failure.find("the command line")) << failure;
    EXPECT_NE(std::string::npos, failure.find("536870911 bytes long")) << failure;
}
