// The thread registry of the performance profilers: its records are PerformanceThread objects (the
// kind's CreateThreadRecord makes them), and it switches measuring on and off for all of them at
// once. The profiler's measure gate, whose address the pool keeps for the kinds' hooks, keeps the
// runtime's callbacks out while measuring is switched or records are written; so Enable, Disable,
// WriteAndDelete and Delete walk the records without a lock of their own.
#pragma once

#include <atomic>
#include <vector>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Profiler/Performance/MeasureGate.h"
#include "Profiler/Performance/MeasureTime.h"
#include "Profiler/Performance/PerformanceThread.h"
#include "Profiler/ThreadRegistry.h"

class BaseProgressIndicator;
class FunctionGatherer;
class ISnapShotStorage;

class PerformanceThreadPool : public ThreadRegistry {
public:
    // The time a record is switched at.
    using TimeFunction = UINT64 (*)(const MeasureTime& time, const PerformanceThread& thread);
    // The switch's own stamp, for every record.
    static UINT64 CommonTime(const MeasureTime& time, const PerformanceThread& thread) noexcept;
    // The record's thread's user time (the calling thread's for a record not bound to an OS
    // thread); 1000 unless the kind is thread time.
    static UINT64 ThreadTime(const MeasureTime& time, const PerformanceThread& thread) noexcept;
    // The one of the two the switch's common-stamp flag asks for.
    static TimeFunction TimeFunctionOf(const MeasureTime& time) noexcept {
        return time.m_CommonStamp ? &CommonTime : &ThreadTime;
    }

    // pGate is the profiler's gate; it must outlive the pool.
    explicit PerformanceThreadPool(MeasureGate* pGate) : m_pGate(pGate) {}

    // The registry's set-up (runtime information, merge mode, slot, handles).
    using ThreadRegistry::Create;

    // The runtime reports a thread: its record is made (or found) and activated, and enabled when
    // measuring is on. Returns the record's internal-time cell (null while not measuring).
    UINT64* Create(const MeasureTime& time, ThreadID threadId);
    // Binds the record to its OS thread; returns its internal-time cell.
    UINT64* AssignOSThread(ThreadID threadId, DWORD osThreadId);
    // Names the record; returns its internal-time cell.
    UINT64* SetName(ThreadID threadId, const WString& name);
    // The thread ended: its record is disabled when measuring is on, and filed as ended.
    void DeleteThread(const MeasureTime& time, ThreadID threadId);

    // Switches every active record on at its time; returns their internal-time cells in order.
    // Raises "Already runned" when measuring is on.
    std::vector<UINT64*> Enable(TimeFunction timeOf, const MeasureTime& time, bool measurePartly);
    // Switches every active record off at its time. Raises "Already stopped" when measuring is off.
    void Disable(TimeFunction timeOf, const MeasureTime& time, bool measurePartly);
    // Writes the records of the mode's scope into the snapshot (2: ended; 1: ended and named;
    // 0: all), begun on the progress with their number, and deletes them. Raises "Should be
    // stopped" while measuring.
    void WriteAndDelete(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot, DWORD mode,
                        FunctionGatherer* pFunctions);
    // Drops every record's data. Raises "Should be stopped" while measuring.
    void Delete();

    bool IsMeasuring() const noexcept { return m_Measuring.load(std::memory_order_relaxed); }
    // The active record of the thread, or null.
    PerformanceThread* FindRecord(ThreadID threadId) const noexcept {
        return static_cast<PerformanceThread*>(Find(threadId));
    }
    // The calling thread's record from the thread-local slot, or null.
    PerformanceThread* GetThreadLocalThread() const noexcept {
        return static_cast<PerformanceThread*>(GetThreadLocalRecord());
    }
    MeasureGate* GetMeasureGate() const noexcept { return m_pGate; }

private:
    static PerformanceThread& Checked(BaseThread* pThread);
    static UINT64* CellOf(PerformanceThread* pThread);

    MeasureGate* const m_pGate;
    // Changed by Enable and Disable under the gate as writer; read by callbacks as readers, and
    // by the sampling thread before it takes the gate (it reads it again inside).
    std::atomic<bool> m_Measuring{false};
};
