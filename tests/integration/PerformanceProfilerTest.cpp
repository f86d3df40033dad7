// The performance base driven as a kind drives it (the test kind over the scripted runtime),
// with the controller's Session on the other end of a real loopback connection: controller
// commands, the API exports in both control kinds, flushes and the error state.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ProfilerOverLoopback.h"
#include "Util/Log.h"
#include "WinCE/Exports.h"
#include "support/TestPerformanceProfiler.h"
#include "support/WireBytes.h"

using Controller::ControllerEvent;
using Controller::EventKind;
using Controller::SessionOptions;

namespace {

// The eight exports, with the codes a test expects of them.
struct ExportCall {
    const char* name;
    DWORD (*call)();
};
const ExportCall kExports[] = {
    {"IsActive", &PerformanceProfiler_IsActive},
    {"Begin", &PerformanceProfiler_Begin},
    {"BeginGroup", [] { return PerformanceProfiler_BeginGroup(u"group"); }},
    {"EndGroup", &PerformanceProfiler_EndGroup},
    {"Start", &PerformanceProfiler_Start},
    {"Stop", &PerformanceProfiler_Stop},
    {"EndDrop", &PerformanceProfiler_EndDrop},
    {"EndSave", &PerformanceProfiler_EndSave},
};

DWORD CallExport(const std::string& name) {
    for (const ExportCall& e : kExports) {
        if (name == e.name) {
            return e.call();
        }
    }
    throw std::logic_error("no export " + name);
}

SessionOptions Options(uint8_t controlKind, bool startAtInitialization, uint8_t measureKind = 0) {
    SessionOptions options;
    options.controlKind = controlKind;
    options.performance.startAtInitialization = startAtInitialization;
    options.performance.measureKind = measureKind;
    return options;
}

class PerformanceProfilerTest : public ProfilerOverLoopback<TestPerformanceProfiler> {
protected:
    // A profiler of the test kind.
    void Connect(const SessionOptions& options) {
        ProfilerOverLoopback::Connect(options, u"{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}");
    }

    // The next log notification whose text contains `text`.
    std::optional<ControllerEvent> WaitForNotification(const std::string& text) {
        for (;;) {
            auto event = WaitFor(EventKind::LogNotification);
            if (!event || event->text.find(text) != std::string::npos) {
                return event;
            }
        }
    }

    DWORD Special(DWORD index) { return m_pProfiler->GetSpecialFuid(index); }
    // Under the gate: the command thread reads the threshold while it decides on a flush.
    void SetMemoryThreshold(UINT64 bytes) {
        MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());
        m_pProfiler->SetMemoryThreshold(bytes);
    }
};

}  // namespace

TEST_F(PerformanceProfilerTest, ControllerStartsAndStopsWithSaveAndWithDrop) {
    ASSERT_NO_FATAL_FAILURE(Connect(Options(Controller::ControlKindManual, false, 1)));
    // Nothing starts at initialisation: the controller hears Stopped.
    ASSERT_TRUE(WaitFor(EventKind::Stopped));

    const ThreadID thread = m_Runtime.StartThreadHere(u"main");
    m_pSession->Start();
    ASSERT_TRUE(WaitFor(EventKind::Started));
    m_pProfiler->Enter(thread, Special(0));
    m_pProfiler->Enter(thread, Special(1));
    m_pProfiler->Leave(thread, Special(1));
    m_pSession->StopSave();
    const auto saved = WaitFor(EventKind::Snapshot);
    ASSERT_TRUE(saved);
    ASSERT_TRUE(WaitFor(EventKind::Stopped));
    const Controller::Snapshot& snapshot = *saved->snapshot;
    EXPECT_TRUE(snapshot.complete) << snapshot.note;
    EXPECT_EQ(snapshot.magic, 0x46505651u);
    const Controller::SnapshotSection* pHeader = snapshot.FindSection(0x1000);
    ASSERT_NE(pHeader, nullptr);
    EXPECT_EQ(pHeader->version, 0);
    EXPECT_EQ(pHeader->bytes, WireBytes::U64(10000000));  // thread times count 100 ns
    EXPECT_EQ(CountSections(snapshot, 0x1100), 1u);       // the one thread's tree
    EXPECT_EQ(CountSections(snapshot, 0x110), 1u);
    EXPECT_EQ(CountSections(snapshot, 0x100), 1u);

    m_pSession->Start();
    ASSERT_TRUE(WaitFor(EventKind::Started));
    m_pProfiler->Leave(thread, Special(0));
    m_pSession->StopDrop();
    ASSERT_TRUE(WaitFor(EventKind::Stopped));
    const auto dropped = WaitFor(EventKind::Snapshot);
    ASSERT_TRUE(dropped);
    EXPECT_FALSE(dropped->snapshot->complete);
    EXPECT_FALSE(m_pProfiler->IsSnapshotOpen());
    m_Runtime.EndThreadHere(thread);
}

TEST_F(PerformanceProfilerTest, ExportsWithoutProfilerAndUnderManualControl) {
    for (const ExportCall& e : kExports) {
        EXPECT_EQ(e.call(), std::string(e.name) == "IsActive" ? 1u : 0x80000001u) << e.name;
    }
    ASSERT_NO_FATAL_FAILURE(Connect(Options(Controller::ControlKindManual, false)));
    for (const ExportCall& e : kExports) {
        EXPECT_EQ(e.call(), std::string(e.name) == "IsActive" ? 1u : 0x80000002u) << e.name;
    }
    EXPECT_FALSE(m_pProfiler->IsSnapshotOpen());
}

TEST_F(PerformanceProfilerTest, ApiControlAnswersEachStateWithItsCode) {
    ASSERT_NO_FATAL_FAILURE(Connect(Options(Controller::ControlKindApi, true)));
    struct Step {
        const char* call;
        DWORD result;
    };
    // In order: before Begin, after Begin, after Start, after Stop, then a whole cycle.
    // clang-format off
    const Step steps[] = {
        {"IsActive", 0},          {"Start", 0x80000006},      {"Stop", 0x80000006},
        {"EndSave", 0x80000006},  {"EndGroup", 0x80000006},   {"Begin", 0},
        {"Begin", 0x80000006},    {"BeginGroup", 0x80000003}, {"EndGroup", 0x80000003},
        {"Stop", 0x80000006},     {"Start", 0},               {"Start", 0x80000006},
        {"EndSave", 0x80000006},  {"EndDrop", 0x80000006},    {"Begin", 0x80000006},
        {"Stop", 0},              {"EndSave", 0},             {"Begin", 0},
        {"Start", 0},             {"Stop", 0},                {"EndDrop", 0}};
    // clang-format on
    for (const Step& step : steps) {
        EXPECT_EQ(CallExport(step.call), step.result) << step.call;
    }
    // The first refusal reached the controller as a warning with the guard's text.
    const auto warning = WaitFor(EventKind::LogNotification);
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->logKind, 0);
    EXPECT_EQ(warning->text.rfind("Snapshot hasn't been created", 0), 0u) << warning->text;
    const auto saved = WaitFor(EventKind::Snapshot);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->snapshot->complete);

    // The controller's Start is refused (an error, so the run now counts as failed), and every
    // operation after it is ignored: the open snapshot is not saved, and only the command thread
    // drops it, as it drops every snapshot of a failed run.
    EXPECT_EQ(CallExport("Begin"), 0u);
    m_pSession->Start();
    ASSERT_TRUE(WaitForNotification("Manual control is disabled"));
    EXPECT_EQ(CallExport("EndSave"), 0x80000005u);
    EXPECT_EQ(CallExport("Begin"), 0x80000005u);
    const auto dropped = WaitFor(EventKind::Snapshot);
    ASSERT_TRUE(dropped);
    EXPECT_FALSE(dropped->snapshot->complete);
    EXPECT_FALSE(m_pSession->WaitFor(EventKind::Started, 0));
}

TEST_F(PerformanceProfilerTest, FlushWhileMeasuringReenablesEveryRecordWithOneStamp) {
    ASSERT_NO_FATAL_FAILURE(Connect(Options(Controller::ControlKindManual, true)));
    ASSERT_TRUE(WaitFor(EventKind::Started));
    PerformanceThreadPool& pool = m_pProfiler->Pool();

    // Ended records: 255 leave nothing to flush, the 256th calls for flushing them.
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(m_pProfiler->CanFlush(false), BasePerformanceProfiler::FlushNone) << i;
        const ThreadID ended = m_Runtime.AddThread();
        m_Runtime.NotifyThreadCreated(ended);
        m_pProfiler->Enter(ended, Special(i % 5));
        m_Runtime.NotifyThreadDestroyed(ended);
    }
    EXPECT_EQ(m_pProfiler->CanFlush(false), BasePerformanceProfiler::FlushFinish);

    std::vector<ThreadID> running;
    for (DWORD i = 0; i < 3; ++i) {
        running.push_back(m_Runtime.AddThread());
        m_Runtime.NotifyThreadCreated(running.back());
        m_pProfiler->Enter(running.back(), Special(i));
        m_pProfiler->Enter(running.back(), Special(i + 1));
    }
    const UINT64 startedAt = pool.FindRecord(running[0])->GetTopFrame().m_Start;

    // Over the memory bound and past the interval: the command thread flushes every record.
    SetMemoryThreshold(1);
    EXPECT_FALSE(m_pProfiler->NeedFlush());  // within the interval since the last flush
    m_pProfiler->AdvanceFlushTick(BasePerformanceProfiler::FlushIntervalMs);
    std::optional<ControllerEvent> started;
    do {
        started = WaitFor(EventKind::OperationStarted);
    } while (started && started->operation != 1);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WaitFor(EventKind::OperationFinished));
    {
        MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());  // after the whole flush
        EXPECT_TRUE(pool.IsMeasuring());
        const CallFrame& first = pool.FindRecord(running[0])->GetTopFrame();
        EXPECT_GT(first.m_Start, startedAt);
        EXPECT_GT(first.m_Internal, 0u);  // the flush's duration, not the functions'
        for (ThreadID thread : running) {
            PerformanceThread* pRecord = pool.FindRecord(thread);
            EXPECT_TRUE(pRecord->IsMeasuring());
            EXPECT_EQ(pRecord->GetFrameCount(), 3u);
            EXPECT_EQ(pRecord->GetTopFrame().m_Start, first.m_Start);
            EXPECT_EQ(pRecord->GetTopFrame().m_Internal, first.m_Internal);
        }
        size_t ended = 0;
        pool.ForEach(ThreadRegistry::Container::Ended, [&](BaseThread&) { ++ended; });
        EXPECT_EQ(ended, 0u);
    }
    EXPECT_FALSE(m_pProfiler->NeedFlush());  // the flush restarted the interval
    SetMemoryThreshold(MemoryThreshold);

    m_pSession->StopSave();
    const auto saved = WaitFor(EventKind::Snapshot);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->snapshot->complete);
    // 256 + 3 trees flushed, and the 3 running threads' trees again at the save.
    EXPECT_EQ(CountSections(*saved->snapshot, 0x1100), 256u + 3 + 3);
}

TEST_F(PerformanceProfilerTest, ErrorStateDropsTheOpenSnapshot) {
    ASSERT_NO_FATAL_FAILURE(Connect(Options(Controller::ControlKindManual, true)));
    ASSERT_TRUE(WaitFor(EventKind::Started));
    const ThreadID thread = m_Runtime.AddThread();
    m_Runtime.NotifyThreadCreated(thread);
    m_pProfiler->Enter(thread, Special(2));

    Log::Error("the run has failed");
    const auto dropped = WaitFor(EventKind::Snapshot);
    ASSERT_TRUE(dropped);
    EXPECT_FALSE(dropped->snapshot->complete);
    EXPECT_EQ(CountSections(*dropped->snapshot, 0x1100), 0u);
    {
        MeasureGate::WriterLock lock(m_pProfiler->GetMeasureGate());  // after the whole flush
        EXPECT_FALSE(m_pProfiler->IsSnapshotOpen());
        EXPECT_FALSE(m_pProfiler->Pool().IsMeasuring());
    }
    EXPECT_FALSE(m_pProfiler->NeedFlush());
}
