// What the profiled application can ask of the memory profiler through the exported
// MemoryProfiler_* functions: 0 on success, IsActive 0 when the API is in control. Called by slot.
#pragma once

#include <atomic>

#include "Platform/Types.h"

class IMemoryApi {
public:
    virtual DWORD IsActive() = 0;
    virtual DWORD ApiForceGC() = 0;
    virtual DWORD ApiDump() = 0;

protected:
    // Not owned through this interface; no virtual destructor, which would take slot 0.
    ~IMemoryApi() = default;
};

// The memory profiler's API while it lives, null otherwise. Set and cleared by the profiler; read
// by the exported functions on application threads.
extern std::atomic<IMemoryApi*> g_pMemoryApi;
