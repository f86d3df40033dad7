// The tracing profiler's thread records: plain PerformanceThread objects, which the hooks reach
// through the registry's thread-local slot.
#pragma once

#include <memory>

#include "Profiler/Performance/PerformanceThreadPool.h"

class TracingThreadPool : public PerformanceThreadPool {
public:
    using PerformanceThreadPool::PerformanceThreadPool;

protected:
    std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
        return std::make_unique<PerformanceThread>(number);
    }
};
