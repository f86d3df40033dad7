#include "support/TestPerformanceProfiler.h"

#include <stdexcept>

#include "Platform/Clock.h"

TestPerformanceProfiler::TestPerformanceProfiler(LONG* pTotalRef, Bridge* pBridge)
    : BasePerformanceProfiler(pTotalRef, pBridge), m_Tick(Platform::GetTickCount()) {}

bool TestPerformanceProfiler::NeedsThreadHandles() {
    const DWORD kind = GetSettings().m_MeasureKind;
    if (kind > MeasureKind::Rdtsc) {
        throw std::runtime_error("Unknown measure");
    }
    return kind == MeasureKind::ThreadTime;
}

PerformanceThread& TestPerformanceProfiler::Record(ThreadID threadId) {
    PerformanceThread* pThread = m_Pool.FindRecord(threadId);
    if (pThread == nullptr) {
        throw std::logic_error("no record for the thread");
    }
    return *pThread;
}

void TestPerformanceProfiler::Enter(ThreadID threadId, DWORD fuid) {
    MeasureGate::ReaderLock lock(m_Gate);
    Record(threadId).EnterFrame(fuid, Now());
}

void TestPerformanceProfiler::Leave(ThreadID threadId, DWORD fuid) {
    MeasureGate::ReaderLock lock(m_Gate);
    Record(threadId).LeaveFrame(fuid, Now());
}
