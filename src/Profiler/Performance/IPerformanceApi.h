// What the profiled application can ask of a performance profiler through the exported
// PerformanceProfiler_* functions. Each operation returns a result code (0 success, 1 from
// ApiIsActive when the API is not in control, 0x8000000x failures). Called by slot.
#pragma once

#include <atomic>

#include "Platform/Types.h"

class IPerformanceApi {
public:
    virtual DWORD ApiIsActive() = 0;
    virtual DWORD ApiBegin() = 0;
    virtual DWORD ApiBeginGroup(const WCHAR* pName) = 0;
    virtual DWORD ApiEndGroup() = 0;
    virtual DWORD ApiStart() = 0;
    virtual DWORD ApiStop() = 0;
    virtual DWORD ApiEndDrop() = 0;
    virtual DWORD ApiEndSave() = 0;

protected:
    // Not owned through this interface; no virtual destructor, which would take slot 0.
    ~IPerformanceApi() = default;
};

// The performance profiler's API while it lives, null otherwise. Set and cleared by the profiler;
// read by the exported functions on application threads.
extern std::atomic<IPerformanceApi*> g_pApi;
