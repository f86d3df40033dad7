// The API exports: each logs its own name (component Api) and forwards to the profiler of its
// kind, or answers for the missing profiler.
#include "Profiler/Memory/IMemoryApi.h"
#include "Profiler/Performance/IPerformanceApi.h"
#include "Util/Log.h"
#include "WinCE/Exports.h"

std::atomic<IPerformanceApi*> g_pApi{nullptr};
std::atomic<IMemoryApi*> g_pMemoryApi{nullptr};

namespace {

void LogCall(const char* pName) {
    if (Log::IsEnabled(LogComponent::Api)) {
        Log::Message(pName);
    }
}

DWORD NoProfiler() {
    Log::Error("No profiler detected");
    return API_E_NO_PROFILER;
}

template <class Fn>
DWORD CallPerformance(const char* pName, Fn&& fn) {
    LogCall(pName);
    IPerformanceApi* pApi = g_pApi.load();
    return pApi != nullptr ? fn(*pApi) : NoProfiler();
}

template <class Fn>
DWORD CallMemory(const char* pName, Fn&& fn) {
    LogCall(pName);
    IMemoryApi* pApi = g_pMemoryApi.load();
    return pApi != nullptr ? fn(*pApi) : NoProfiler();
}

}  // namespace

DWORD PerformanceProfiler_IsActive() {
    LogCall("PerformanceProfiler_IsActive");
    IPerformanceApi* pApi = g_pApi.load();
    return pApi != nullptr ? pApi->ApiIsActive() : API_NOT_IN_CONTROL;
}

DWORD PerformanceProfiler_Begin() {
    return CallPerformance("PerformanceProfiler_Begin",
                           [](IPerformanceApi& api) { return api.ApiBegin(); });
}

DWORD PerformanceProfiler_BeginGroup(const WCHAR* pName) {
    return CallPerformance("PerformanceProfiler_BeginGroup",
                           [pName](IPerformanceApi& api) { return api.ApiBeginGroup(pName); });
}

DWORD PerformanceProfiler_EndGroup() {
    return CallPerformance("PerformanceProfiler_EndGroup",
                           [](IPerformanceApi& api) { return api.ApiEndGroup(); });
}

DWORD PerformanceProfiler_Start() {
    return CallPerformance("PerformanceProfiler_Start",
                           [](IPerformanceApi& api) { return api.ApiStart(); });
}

DWORD PerformanceProfiler_Stop() {
    return CallPerformance("PerformanceProfiler_Stop",
                           [](IPerformanceApi& api) { return api.ApiStop(); });
}

DWORD PerformanceProfiler_EndDrop() {
    return CallPerformance("PerformanceProfiler_EndDrop",
                           [](IPerformanceApi& api) { return api.ApiEndDrop(); });
}

DWORD PerformanceProfiler_EndSave() {
    return CallPerformance("PerformanceProfiler_EndSave",
                           [](IPerformanceApi& api) { return api.ApiEndSave(); });
}

DWORD MemoryProfiler_IsActive() {
    LogCall("MemoryProfiler_IsActive");
    IMemoryApi* pApi = g_pMemoryApi.load();
    return pApi != nullptr ? pApi->IsActive() : API_NOT_IN_CONTROL;
}

DWORD MemoryProfiler_ForceGC() {
    return CallMemory("MemoryProfiler_ForceGC", [](IMemoryApi& api) { return api.ApiForceGC(); });
}

DWORD MemoryProfiler_Dump() {
    return CallMemory("MemoryProfiler_Dump", [](IMemoryApi& api) { return api.ApiDump(); });
}
