// qvprof's recording of several processes against profilers played by hand over real loopback
// connections: snapshots become files named by program and process id, progress shows as plain
// lines, a process still running at the end is stopped and saved, a late one is refused at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "Controller/SnapshotFile.h"
#include "RecordingHub.h"
#include "RecordingSummary.h"
#include "SessionSettings.h"
#include "support/FakeProfilerPeer.h"
#include "support/ScratchDirectory.h"
#include "support/WaitUntil.h"

using namespace Qvprof;
using namespace WireBytes;

namespace {

// The controller's answers for tracing with manual control, controller text "t" (messages 2,
// 10 to 17); inlining is not allowed (the ninth byte).
const Bytes TracingAnswers = {0x01, 0x01, 0x01, 0x00, 0x00, 0x01, 't',  0x01, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

// What the console wrote, from the file behind it.
std::string ConsoleText(std::FILE* pFile) {
    std::fflush(pFile);
    std::rewind(pFile);
    std::string text;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pFile)) > 0;) {
        text.append(buffer, got);
    }
    return text;
}

// One whole snapshot of one section "env!" with the writing progress around it, then Stopped.
void SendSnapshot(FakeProfilerPeer& peer, uint32_t index) {
    peer.Send(Concat({{0xF0, 0x00}, {0xE0}, U32(0x46505651)}));
    const uint16_t handle = peer.CreateSection(index);
    peer.Send(Concat({{0xF2},
                      U32(100),
                      U32(200),
                      {0xE3},
                      U16(handle),
                      U32(4),
                      {'e', 'n', 'v', '!'},
                      {0xE2},
                      U16(handle),
                      U16(0),
                      U16(4),
                      {0xF2},
                      U32(200),
                      U32(200),
                      {0xF1},
                      {0xE7},
                      U32(index),
                      ProcessGuidBytes,
                      U32(index + 1),
                      {0x91}}));
}

}  // namespace

TEST(QvprofRecordingHub, SavesEachSnapshotStopsARunningProcessAndRefusesALateOne) {
    ScratchDirectory scratch;
    std::FILE* pConsoleFile = std::tmpfile();
    ASSERT_NE(nullptr, pConsoleFile);
    Console console(pConsoleFile, false, false);
    ProfilingOptions options;
    options.outputDirectory = scratch.Path().string();
    Controller::SessionOptions sessionOptions = SessionSettings::Build(options, "t");
    sessionOptions.idleInterval = INFINITE;  // no idle bytes among the replies the test reads
    RecordingHub hub(console, options, sessionOptions);
    const WORD port = hub.Start(0);

    FakeProfilerPeer app(port);
    app.Send(Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes)}));
    ASSERT_EQ(TracingAnswers, app.Receive(TracingAnswers.size()));
    app.Send({0x90});
    SendSnapshot(app, 0);
    ASSERT_TRUE(WaitUntil([&] {
        const auto records = hub.Records();
        return records.size() == 1 && records[0].snapshots.size() == 1;
    }));

    // Measuring again when the recording ends: the process is asked to stop and save.
    // The snapshot is followed by its "stopped"; once that is seen, measuring starts again.
    ASSERT_TRUE(WaitUntil([&] { return !hub.Records()[0].measuring; }));
    app.Send({0x90});
    ASSERT_TRUE(WaitUntil([&] { return hub.Records()[0].measuring; }));
    hub.RequestStop("the recording had ended", [](uint32_t) { return true; });
    EXPECT_EQ(Bytes{0x12}, app.Receive(1));
    SendSnapshot(app, 1);
    EXPECT_TRUE(app.SeesEndOfStream()) << "let go once its snapshot is in";
    ASSERT_TRUE(WaitUntil([&] { return hub.AllDone(); }));

    FakeProfilerPeer late(port);
    late.Send(Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes)}));
    EXPECT_EQ((Bytes{0x01, 0x00}), late.Receive(2)) << "refused at the connection step";
    late.Close();
    ASSERT_TRUE(WaitUntil([&] { return hub.Records().size() == 2 && hub.AllDone(); }));
    hub.Close();

    const std::vector<ProcessRecord> records = hub.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(ProcessRecord::Outcome::Profiled, records[0].outcome);
    EXPECT_TRUE(records[0].letGo);
    ASSERT_EQ(2u, records[0].snapshots.size());
    EXPECT_EQ((scratch.Path() / "app-4660.qvsnap").string(), records[0].snapshots[0].path);
    EXPECT_EQ((scratch.Path() / "app-4660-2.qvsnap").string(), records[0].snapshots[1].path);
    for (const SavedSnapshot& saved : records[0].snapshots) {
        const Controller::Snapshot snapshot = Controller::SnapshotFile::Read(saved.path);
        EXPECT_TRUE(snapshot.complete);
        ASSERT_EQ(1u, snapshot.sections.size());
        EXPECT_EQ((Bytes{'e', 'n', 'v', '!'}), snapshot.sections[0].bytes);
    }
    EXPECT_EQ(1u, Controller::SnapshotFile::Read(records[0].snapshots[1].path).index);
    const std::string summary = RecordingSummary::Format({records[0]}, ProfilerMode::Tracing);
    const std::string firstLine = "\n  " + records[0].Title() + ": " + records[0].snapshots[0].path;
    EXPECT_NE(summary.find(firstLine), std::string::npos) << summary;
    EXPECT_TRUE(
        summary.ends_with("\n      still running at the end: let go, it runs on without the "
                          "profiler\n"))
        << summary;
    EXPECT_EQ(ProcessRecord::Outcome::Refused, records[1].outcome);
    EXPECT_EQ("the recording had ended", records[1].reason);

    const std::string text = ConsoleText(pConsoleFile);
    for (const char* pLine : {"qvprof: profiling app (pid 4660): \"/bin/app\" -x\n",
                              "qvprof: app (pid 4660): writing the snapshot 0%\n",
                              "qvprof: app (pid 4660): writing the snapshot 50%\n",
                              "qvprof: app (pid 4660): writing the snapshot 100%\n"}) {
        EXPECT_NE(std::string::npos, text.find(pLine)) << pLine << "\n" << text;
    }
    std::fclose(pConsoleFile);
}
