// The record of one managed thread for the sampling profiler. Its shadow stack holds the stack
// seen in the thread's last sample; each new sample closes those frames at the sample's time and
// opens the new stack, so a stack is charged with the time until the thread's next sample. The
// last sample's stack is never charged beyond the stop of measuring: its frames are dropped
// without time before the tree is written or deleted.
//
// Only the sampling thread adds samples, while it holds the profiler's measure gate as writer.
#pragma once

#include <span>

#include "Platform/Types.h"
#include "Profiler/Performance/PerformanceThread.h"

class SamplingThread : public PerformanceThread {
public:
    using PerformanceThread::PerformanceThread;

    // Both drop the open frames first. "Should be stopped" while measuring.
    void Delete() override;
    void WriteAndDelete(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot,
                        FunctionGatherer* pFunctions) override;

    // One sample at `time`: the stack, outermost function first, replaces the open frames, which
    // are charged up to `time`. Ignored while the record is not measuring.
    void AddSample(UINT64 time, std::span<const DWORD> fuids);

private:
    void DropOpenFrames();
};
