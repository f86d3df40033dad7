// A performance profiler kind for tests of the performance base: its records are plain
// PerformanceThread records found through the thread-local slot, as the tracing kind's are; its
// "hooks" are calls a test makes (Enter, Leave) on a managed thread's record inside the measure
// gate. The flush tick and the memory threshold are the test's to set.
#pragma once

#include <atomic>
#include <memory>

#include "Profiler/Performance/BasePerformanceProfiler.h"

class TestPerformanceProfiler : public BasePerformanceProfiler {
public:
    TestPerformanceProfiler(LONG* pTotalRef, Bridge* pBridge);

    // Open a frame for the function on the thread's record, as an enter hook would, and close it.
    void Enter(ThreadID threadId, DWORD fuid);
    void Leave(ThreadID threadId, DWORD fuid);

    PerformanceThreadPool& Pool() { return m_Pool; }
    // The tick the flush interval is measured against (the real tick at construction).
    void AdvanceFlushTick(DWORD milliseconds) { m_Tick.fetch_add(milliseconds); }
    using BasePerformanceProfiler::SetMemoryThreshold;

protected:
    ~TestPerformanceProfiler() override = default;
    PerformanceThreadPool& GetThreadPool() override { return m_Pool; }
    bool NeedsThreadHandles() override;
    bool NeedsThreadLocalRecord() override { return true; }
    DWORD GetFlushTick() override { return m_Tick.load(); }

private:
    class RecordPool : public PerformanceThreadPool {
    public:
        using PerformanceThreadPool::PerformanceThreadPool;

    protected:
        std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
            return std::make_unique<PerformanceThread>(number);
        }
    };

    PerformanceThread& Record(ThreadID threadId);

    RecordPool m_Pool{&m_Gate};
    std::atomic<DWORD> m_Tick;
};
