// The sampling profiler's thread records: SamplingThread objects, reached by the sampling thread
// through the registry's active set (no thread-local slot).
#pragma once

#include <memory>

#include "Profiler/Performance/PerformanceThreadPool.h"
#include "Profiler/Performance/Sampling/SamplingThread.h"

class SamplingThreadPool : public PerformanceThreadPool {
public:
    using PerformanceThreadPool::PerformanceThreadPool;

    SamplingThread* FindSamplingRecord(ThreadID threadId) const noexcept {
        return static_cast<SamplingThread*>(Find(threadId));
    }

protected:
    std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
        return std::make_unique<SamplingThread>(number);
    }
};
