// The library's exported functions: the six load entry points (one per profiler kind, named after
// its class identifier) and the performance and memory API that the profiled application calls.
// These are the only symbols libqvprofiler.so exports.
#pragma once

#include "Platform/Types.h"

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

// Load entry points: command 0 loads, 1 unloads; 0 or 0x80000000.
QV_EXPORT HRESULT InitializeProfiler_D37A1B78_6DC3_46FD_BC31_F7C4D5A11C9C(DWORD command,
                                                                          IUnknown* pHost);
QV_EXPORT HRESULT InitializeProfiler_D37A1B78_6DC5_46FD_BC31_F7C4D5A11C9C(DWORD command,
                                                                          IUnknown* pHost);
QV_EXPORT HRESULT InitializeProfiler_D37A1B78_6DC6_46FD_BC31_F7C4D5A11C9C(DWORD command,
                                                                          IUnknown* pHost);
QV_EXPORT HRESULT InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C(DWORD command,
                                                                          IUnknown* pHost);
QV_EXPORT HRESULT InitializeProfiler_D37A1B78_7DC4_46FD_BC31_F7C4D5A11C9C(DWORD command,
                                                                          IUnknown* pHost);
QV_EXPORT HRESULT InitializeProfiler_D37A1B78_7DC5_46FD_BC31_F7C4D5A11C9C(DWORD command,
                                                                          IUnknown* pHost);

// Result codes of the API exports without a profiler of their kind.
constexpr DWORD API_NOT_IN_CONTROL = 1;
constexpr DWORD API_E_NO_PROFILER = 0x80000001;

QV_EXPORT DWORD PerformanceProfiler_IsActive();
QV_EXPORT DWORD PerformanceProfiler_Begin();
QV_EXPORT DWORD PerformanceProfiler_BeginGroup(const WCHAR* pName);
QV_EXPORT DWORD PerformanceProfiler_EndGroup();
QV_EXPORT DWORD PerformanceProfiler_Start();
QV_EXPORT DWORD PerformanceProfiler_Stop();
QV_EXPORT DWORD PerformanceProfiler_EndDrop();
QV_EXPORT DWORD PerformanceProfiler_EndSave();

QV_EXPORT DWORD MemoryProfiler_IsActive();
QV_EXPORT DWORD MemoryProfiler_ForceGC();
QV_EXPORT DWORD MemoryProfiler_Dump();
