#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CommandProcessor/MeasureCommandProcessor.h"
#include "CommandProcessor/MemoryCommandProcessor.h"
#include "Host/PALThreads.h"
#include "Platform/Process.h"
#include "Util/ComRef.h"
#include "Util/Log.h"
#include "support/BridgeLine.h"
#include "support/Bytes.h"
#include "support/CommandReader.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/PALThreadsStub.h"
#include "support/ScopedLog.h"
#include "support/ScopedPALThreads.h"

namespace {

using namespace std::chrono_literals;

constexpr DWORD IDLE_SLEEP_MS = 100;

// The real host thread service, with a hook that sees every host sleep on the sleeping thread.
class SleepWatchingPALThreads : public PALThreadsStub {
public:
    using Hook = std::function<void(DWORD milliseconds)>;
    SleepWatchingPALThreads() { m_pInner.Attach(new PALThreads()); }
    void SetHook(Hook hook) {
        std::lock_guard<std::mutex> guard(m_HookLock);
        m_Hook = std::move(hook);
    }
    HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc pProc, void* pContext, DWORD passValue,
                                           DWORD reserved, PALThreadHandle* phThread) override {
        return m_pInner->CreateThread(pProc, pContext, passValue, reserved, phThread);
    }
    HRESULT STDMETHODCALLTYPE StartThread(PALThreadHandle hThread) override {
        return m_pInner->StartThread(hThread);
    }
    HRESULT STDMETHODCALLTYPE CloseThread(PALThreadHandle hThread) override {
        return m_pInner->CloseThread(hThread);
    }
    HRESULT STDMETHODCALLTYPE Sleep(DWORD milliseconds) override {
        Hook hook;
        {
            std::lock_guard<std::mutex> guard(m_HookLock);
            hook = m_Hook;
        }
        if (hook) {
            hook(milliseconds);
        }
        return m_pInner->Sleep(milliseconds);
    }
    HRESULT STDMETHODCALLTYPE WaitForThread(PALThreadHandle hThread, DWORD milliseconds) override {
        return m_pInner->WaitForThread(hThread, milliseconds);
    }

private:
    ComRef<IPALThreads> m_pInner;
    std::mutex m_HookLock;  // guards m_Hook; taken by every sleeping thread and the test
    Hook m_Hook;
};

// Named events in the order they happened, with the OS thread of each; tests wait for counts.
class CallRecord {
public:
    void Add(const std::string& name) {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Names.push_back(name);
        m_ThreadIds.push_back(Platform::GetCurrentThreadId());
        m_Changed.notify_all();
    }
    bool WaitForCount(size_t count) {
        std::unique_lock<std::mutex> lock(m_Lock);
        return m_Changed.wait_for(lock, BridgeLine::Patience,
                                  [&] { return m_Names.size() >= count; });
    }
    std::vector<std::string> Names() {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Names;
    }
    std::vector<DWORD> ThreadIds() {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_ThreadIds;
    }

private:
    std::mutex m_Lock;  // guards the two vectors; taken by the command thread and the test
    std::condition_variable m_Changed;
    std::vector<std::string> m_Names;
    std::vector<DWORD> m_ThreadIds;
};

// A measure sink that records its calls. Hooks are set before commands are enabled.
class MeasureSink : public IMeasureBridgeEvent {
public:
    bool NeedFlush() override { return m_FlushPending.load(); }
    void Flush() override { m_OnFlush(); }
    void BridgeStart() override {
        m_OnStart();
        m_Calls.Add("Start");
    }
    void BridgeStopDrop() override { m_Calls.Add("StopDrop"); }
    void BridgeStopSave() override { m_Calls.Add("StopSave"); }
    CallRecord m_Calls;
    std::atomic<bool> m_FlushPending{false};
    std::function<void()> m_OnFlush = [] {};
    std::function<void()> m_OnStart = [] {};
};

class MemorySink : public IMemoryBridgeEvent {
public:
    // Background work is pending once, at the first poll.
    bool NeedBackgroundWork() override { return m_Polls.fetch_add(1) == 0; }
    void DoBackgroundWork() override { m_Calls.Add("Background"); }
    void BridgeForceGC() override { m_Calls.Add("ForceGC"); }
    void BridgeDump() override { m_Calls.Add("Dump"); }
    CallRecord m_Calls;
    std::atomic<int> m_Polls{0};
};

// A flag one thread raises and another waits for.
class Latch {
public:
    void Set() {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Set = true;
        m_Changed.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(m_Lock);
        return m_Changed.wait_for(lock, BridgeLine::Patience, [&] { return m_Set; });
    }

private:
    std::mutex m_Lock;  // guards m_Set
    std::condition_variable m_Changed;
    bool m_Set = false;
};

// A measure processor on an in-memory bridge line over the real host threads, with a reader
// playing the bridge's worker thread. Torn down the way the bridge does: disable, deactivate,
// destroy.
class MeasureRig : public testing::Test {
protected:
    ~MeasureRig() override { Destroy(); }
    void Create(DWORD controlKind) {
        m_pProcessor =
            std::make_unique<MeasureCommandProcessor>(&m_Line.Profiler(), &m_Sink, controlKind, 1);
        m_pProcessor->Activate();
        m_pReader = std::make_unique<CommandReader>(*m_pProcessor, m_Line);
    }
    void Destroy() {
        if (m_pProcessor != nullptr) {
            m_pProcessor->DisableCommands();
            m_pReader.reset();
            m_pProcessor->Deactivate();
            m_pProcessor.reset();
        }
    }

    // Sends one command byte and waits until the reader has queued it.
    void SendCommand(BYTE code) {
        const unsigned before = m_pReader->Processed();
        m_Line.Send({code});
        ASSERT_TRUE(m_pReader->WaitForProcessed(before + 1, BridgeLine::Patience));
    }

    // Waits until threads other than the test's have gone through `turns` more idle pauses.
    void WaitForIdleTurns(int turns) {
        const DWORD testThread = Platform::GetCurrentThreadId();
        auto pTurns = std::make_shared<std::atomic<int>>(0);
        auto pDone = std::make_shared<Latch>();
        m_Threads.SetHook([=](DWORD milliseconds) {
            if (milliseconds == IDLE_SLEEP_MS && Platform::GetCurrentThreadId() != testThread &&
                pTurns->fetch_add(1) + 1 == turns) {
                pDone->Set();
            }
        });
        EXPECT_TRUE(pDone->Wait());
        m_Threads.SetHook(nullptr);
    }
    SleepWatchingPALThreads m_Threads;
    ScopedPALThreads m_Scope{&m_Threads};
    BridgeLine m_Line;
    MeasureSink m_Sink;
    std::unique_ptr<MeasureCommandProcessor> m_pProcessor;
    std::unique_ptr<CommandReader> m_pReader;
};

using CommandThreadConcurrent = MeasureRig;
using MeasureCommandProcessorTest = MeasureRig;

bool HasLineEndingWith(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() >= text.size() &&
               line.compare(line.size() - text.size(), text.size(), text) == 0;
    });
}

TEST_F(CommandThreadConcurrent, BurstRunsInArrivalOrderOnTheCommandThread) {
    ScopedLog log(1u << static_cast<unsigned>(LogComponent::Bridge));
    Create(0);
    m_pProcessor->EnableCommands();
    m_Line.Send({0x10, 0x12, 0x10, 0x11});
    ASSERT_TRUE(m_Sink.m_Calls.WaitForCount(4));
    EXPECT_EQ(m_Sink.m_Calls.Names(),
              (std::vector<std::string>{"Start", "StopSave", "Start", "StopDrop"}));
    const std::vector<DWORD> threads = m_Sink.m_Calls.ThreadIds();
    EXPECT_NE(threads[0], Platform::GetCurrentThreadId());
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads[0]), 4);
    const std::vector<std::string> lines = ReadLogLinesAfterRecord();
    EXPECT_TRUE(HasLineEndingWith(lines, " CT::DoWorkThread"));
    EXPECT_TRUE(HasLineEndingWith(lines, " MCP::ProcessCommand Start"));
    EXPECT_TRUE(HasLineEndingWith(lines, " MCP::ProcessCommand StopSave"));
    Destroy();
}

TEST_F(CommandThreadConcurrent, CommandsWaitWhileDisabledAndQueuedOnesAreDroppedAtDestruction) {
    Create(0);
    SendCommand(0x10);
    WaitForIdleTurns(2);
    EXPECT_TRUE(m_Sink.m_Calls.Names().empty());
    m_pProcessor->EnableCommands();
    ASSERT_TRUE(m_Sink.m_Calls.WaitForCount(1));
    EXPECT_EQ(m_Sink.m_Calls.Names(), std::vector<std::string>{"Start"});
    m_pProcessor->DisableCommands();
    SendCommand(0x11);
    WaitForIdleTurns(2);
    Destroy();
    EXPECT_EQ(m_Sink.m_Calls.Names(), std::vector<std::string>{"Start"});
}

TEST_F(CommandThreadConcurrent, DisableReturnsOnlyAfterTheRunningCallHasFinished) {
    Latch entered;
    // Shared with the sleep hook, whose copy may still run on another thread after this test.
    auto pRelease = std::make_shared<Latch>();
    std::atomic<bool> finished{false};
    m_Sink.m_OnStart = [&] {
        entered.Set();
        pRelease->Wait();
        finished = true;
    };
    Create(0);
    m_pProcessor->EnableCommands();
    SendCommand(0x10);
    ASSERT_TRUE(entered.Wait());

    // The call may end only once Disable has started waiting for it.
    const DWORD testThread = Platform::GetCurrentThreadId();
    m_Threads.SetHook([testThread, pRelease](DWORD) {
        if (Platform::GetCurrentThreadId() == testThread) {
            pRelease->Set();
        }
    });
    m_pProcessor->DisableCommands();
    EXPECT_TRUE(finished);
    pRelease->Set();  // never leave the command thread waiting, whatever happened
    m_Threads.SetHook(nullptr);
}

TEST_F(CommandThreadConcurrent, PendingBackgroundWorkRunsWithoutPausesAndStopIsSeen) {
    // Host sleeps of the calling thread; read by the command thread on itself.
    static thread_local int t_Sleeps = 0;
    m_Threads.SetHook([](DWORD) { ++t_Sleeps; });
    constexpr int FLUSHES = 20;
    int flushes = 0;
    int sleepsAtFirstFlush = 0;
    std::atomic<int> pausesBetweenFlushes{-1};
    Latch reached;
    m_Sink.m_FlushPending = true;
    m_Sink.m_OnFlush = [&] {
        if (++flushes == 1) {
            sleepsAtFirstFlush = t_Sleeps;
        } else if (flushes == FLUSHES) {
            pausesBetweenFlushes = t_Sleeps - sleepsAtFirstFlush;
            reached.Set();
        }
    };
    Create(0);
    m_pProcessor->EnableCommands();
    ASSERT_TRUE(reached.Wait());
    EXPECT_EQ(pausesBetweenFlushes.load(), 0);

    // Destroyed while still enabled with work pending: the thread must see the stop request.
    auto pDestroyed = std::make_shared<Latch>();
    std::thread destroyer([this, pDestroyed] {
        m_pReader.reset();
        m_pProcessor.reset();
        pDestroyed->Set();
    });
    if (!pDestroyed->Wait()) {
        // The thread still runs against this test's locals: fail loudly rather than hang.
        ADD_FAILURE() << "the command thread did not stop";
        std::abort();
    }
    destroyer.join();
    m_Threads.SetHook(nullptr);
}

TEST_F(CommandThreadConcurrent, ThreadStartedWhileEnabledEndsAtOnce) {
    ScopedLog log(0);
    m_pProcessor = std::make_unique<MeasureCommandProcessor>(&m_Line.Profiler(), &m_Sink, 0, 1);
    // Without a thread there is nothing to wait for.
    m_pProcessor->EnableCommands();
    EXPECT_EQ(ErrorText([&] { m_pProcessor->Activate(); }),
              "Thread terminated before started event set");
    EXPECT_TRUE(HasLineEndingWith(ReadLogLinesAfterRecord(), "ERROR: Invalid enable state"));
    m_pProcessor->DisableCommands();
    m_pProcessor.reset();
}

TEST_F(MeasureCommandProcessorTest, StateMessagesAreRefusedUnderApiControl) {
    m_pProcessor = std::make_unique<MeasureCommandProcessor>(&m_Line.Profiler(), &m_Sink, 1, 1);
    EXPECT_EQ(ErrorText([&] { m_pProcessor->Started(); }), "API is used");
    EXPECT_EQ(ErrorText([&] { m_pProcessor->Stopped(); }), "API is used");
    // Nothing went out before the next message, and the write lock was released.
    m_pProcessor->GetControl()->OperationStarted(7);
    EXPECT_EQ(m_Line.ToController().TakeAll(), (Bytes{0xF0, 0x07}));
    MeasureCommandProcessor manual(&m_Line.Profiler(), &m_Sink, 0, 1);
    manual.Started();
    manual.Stopped();
    EXPECT_EQ(m_Line.ToController().TakeAll(), (Bytes{0x90, 0x91}));
    EXPECT_FALSE(manual.ProcessCommand(0x13));
    EXPECT_FALSE(manual.ProcessCommand(0x20));
    m_pProcessor.reset();
}

TEST(MemoryCommandProcessorConcurrent, QueuesForceGCAndDumpAndSendsDone) {
    SleepWatchingPALThreads threads;
    ScopedPALThreads scope(&threads);
    ScopedLog log(1u << static_cast<unsigned>(LogComponent::Bridge));
    BridgeLine line;
    MemorySink sink;
    MemoryCommandProcessor processor(&line.Profiler(), &sink, 0, 1);
    EXPECT_FALSE(processor.ProcessCommand(0x10));
    processor.Activate();
    processor.EnableCommands();
    ASSERT_TRUE(sink.m_Calls.WaitForCount(1));  // the first poll finds work
    CommandReader reader(processor, line);
    line.Send({0x21, 0x20});
    ASSERT_TRUE(sink.m_Calls.WaitForCount(3));
    EXPECT_EQ(sink.m_Calls.Names(), (std::vector<std::string>{"Background", "Dump", "ForceGC"}));
    processor.Done();
    EXPECT_EQ(line.ToController().TakeAll(), Bytes{0xA0});
    processor.DisableCommands();
    const std::vector<std::string> lines = ReadLogLinesAfterRecord();
    EXPECT_TRUE(HasLineEndingWith(lines, " MemCP::ProcessCommand Dump"));
    EXPECT_TRUE(HasLineEndingWith(lines, " MemCP::ProcessCommand ForceGC"));
    EXPECT_TRUE(HasLineEndingWith(lines, " MemCP::Done"));
    processor.Deactivate();
}

}  // namespace
