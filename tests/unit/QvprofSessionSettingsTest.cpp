// qvprof's options turned into handshake answers, and the option combinations it refuses.
#include <gtest/gtest.h>

#include "Controller/ProtocolConstants.h"
#include "SessionSettings.h"

using namespace Qvprof;

TEST(QvprofSessionSettings, MapsPerformanceOptionsOntoTheSettingsMessage) {
    ProfilingOptions options;
    options.mode = ProfilerMode::Tracing;
    options.timer = TimerKind::ThreadTime;
    options.precise = true;
    options.inlining = false;
    options.mergeThreads = true;
    const Controller::SessionOptions session = SessionSettings::Build(options, "qvprof x");
    EXPECT_EQ(Controller::ControlKindManual, session.controlKind);
    EXPECT_EQ(Controller::SnapshotTypeBridgeStream, session.snapshotType);
    EXPECT_EQ("qvprof x", session.controllerText);
    EXPECT_TRUE(session.performance.startAtInitialization);
    EXPECT_FALSE(session.performance.allowInlining);
    EXPECT_EQ(1, session.performance.measureKind);
    EXPECT_TRUE(session.performance.precision);
    EXPECT_TRUE(session.performance.mergeThreadsByName);
    EXPECT_TRUE(session.memory.snapshotAtStart);
}

TEST(QvprofSessionSettings, StartPausedAndApiControlOpenNoSnapshotAtStart) {
    struct Case {
        bool paused;
        bool api;
        uint8_t controlKind;
        bool openAtStart;
    };
    for (const Case& c : {Case{false, false, Controller::ControlKindManual, true},
                          Case{true, false, Controller::ControlKindManual, false},
                          Case{false, true, Controller::ControlKindApi, false}}) {
        ProfilingOptions options;
        options.startPaused = c.paused;
        options.apiControl = c.api;
        options.mode = ProfilerMode::Memory;
        options.allocationsFactor = 50;
        options.trackFinalizers = true;
        const Controller::SessionOptions session = SessionSettings::Build(options, "");
        EXPECT_EQ(c.controlKind, session.controlKind);
        EXPECT_EQ(c.openAtStart, session.performance.startAtInitialization);
        EXPECT_EQ(c.openAtStart, session.memory.snapshotAtStart);
        EXPECT_EQ(50u, session.memory.allocationsFactor);
        EXPECT_TRUE(session.memory.trackFinalizers);
    }
}

TEST(QvprofSessionSettings, RefusesOptionsOfAnotherKindAndContradictions) {
    auto check = [](void (*change)(ProfilingOptions&)) {
        ProfilingOptions options;
        change(options);
        return SessionSettings::Check(options);
    };
    EXPECT_EQ("", check([](ProfilingOptions&) {}));
    EXPECT_EQ("", check([](ProfilingOptions& o) {
                  o.mode = ProfilerMode::Test;
                  o.precise = true;
                  o.allocationsFactor = 3;
              }));
    EXPECT_NE(std::string::npos, check([](ProfilingOptions& o) {
                                     o.allocationsFactor = 10;
                                 }).find("--allocations, --finalizers"));
    EXPECT_NE(std::string::npos, check([](ProfilingOptions& o) {
                                     o.mode = ProfilerMode::Memory;
                                     o.precise = true;
                                 }).find("not memory"));
    EXPECT_NE(std::string::npos, check([](ProfilingOptions& o) {
                                     o.mode = ProfilerMode::Sampling;
                                     o.inlining = false;
                                 }).find("the sampling kind has none"));
    EXPECT_NE(std::string::npos, check([](ProfilingOptions& o) {
                                     o.mode = ProfilerMode::Memory;
                                     o.apiControl = true;
                                     o.dumpAtEnd = true;
                                 }).find("with --api"));
    EXPECT_NE(std::string::npos, check([](ProfilingOptions& o) {
                                     o.apiControl = true;
                                     o.startPaused = true;
                                 }).find("exclude each other"));
    EXPECT_NE(std::string::npos,
              check([](ProfilingOptions& o) { o.match = "a(b"; }).find("not a valid regular"));
}

TEST(QvprofSessionSettings, EachModeLoadsItsOwnClassId) {
    EXPECT_EQ("{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}",
              ProfilerModes::ClassId(ProfilerMode::Tracing));
    EXPECT_EQ("{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}",
              ProfilerModes::ClassId(ProfilerMode::Sampling));
    EXPECT_EQ("{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}",
              ProfilerModes::ClassId(ProfilerMode::Memory));
    EXPECT_EQ("{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}", ProfilerModes::ClassId(ProfilerMode::Test));
    for (const std::string& name : ProfilerModes::Names()) {
        EXPECT_EQ(name, ProfilerModes::Name(*ProfilerModes::Parse(name)));
    }
    EXPECT_FALSE(ProfilerModes::Parse("Tracing"));
}
