// One factory per profiler kind: each creates the kind's Bridge over the host's tools, with the
// kind's class identifier as service identifier, shows the attach message and constructs the
// profiler with the kind's total reference count.
#pragma once

#include "Platform/Types.h"
#include "WinCE/IPALTools.h"

class BaseProfiler;

// The kinds in the order of their load entry points.
enum class ProfilerKindIndex : unsigned {
    PerformanceTracing,
    PerformanceSampling,
    Memory,
    Test1,
    Test2,
    Test3,
    Count,
};

struct ProfilerKindInfo {
    const WCHAR* pClassId;  // braced; also the bridge service identifier
    const WCHAR* pDisplayName;
};

const ProfilerKindInfo& GetProfilerKindInfo(ProfilerKindIndex kind);
// The kind's total reference count over all its objects.
LONG GetProfilerTotalReferences(ProfilerKindIndex kind);

BaseProfiler* CreatePerformanceTracingProfiler(IPALTools* pPALTools);
BaseProfiler* CreatePerformanceSamplingProfiler(IPALTools* pPALTools);
BaseProfiler* CreateMemoryProfiler(IPALTools* pPALTools);
BaseProfiler* CreateTestProfiler1(IPALTools* pPALTools);
BaseProfiler* CreateTestProfiler2(IPALTools* pPALTools);
BaseProfiler* CreateTestProfiler3(IPALTools* pPALTools);
