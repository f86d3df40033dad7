// The shared routine behind the six load entry points: command 0 creates the kind's profiler and
// hands its callback to the host, command 1 shuts it down and drops every host reference. Any
// failure is logged, drops every host reference and returns 0x80000000.
#pragma once

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "WinCE/IPALTools.h"

class BaseProfiler;

// Creates one profiler of a kind, holding its construction reference. pPALTools may be null.
using ProfilerFactory = BaseProfiler* (*)(IPALTools* pPALTools);

constexpr DWORD LoadCommandLoad = 0;
constexpr DWORD LoadCommandUnload = 1;

HRESULT RunLoadService(DWORD command, IUnknown* pHostObject, ProfilerFactory pFactory);

// The callback reference held from load to unload (null outside).
ICorProfilerCallback2* GetLoadedProfilerCallback();
