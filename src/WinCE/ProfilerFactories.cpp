#include "WinCE/ProfilerFactories.h"

#include <new>

#include "Profiler/BaseProfiler.h"
#include "Profiler/Memory/MemoryProfiler.h"
#include "Profiler/Performance/Sampling/PerformanceSamplingProfiler.h"
#include "Profiler/Performance/Tracing/PerformanceTracingProfiler.h"
#include "Profiler/Test/TestProfiler.h"
#include "WinCE/Bridge.h"
#include "WinCE/ProcessAttach.h"

namespace {

constexpr unsigned KindCount = static_cast<unsigned>(ProfilerKindIndex::Count);

constexpr ProfilerKindInfo Kinds[KindCount] = {
    {u"{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}", u"Performance Tracing Profiler"},
    {u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}", u"Performance Sampling Profiler"},
    {u"{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}", u"Memory Profiler"},
    {u"{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}", u"Test Profiler 1"},
    {u"{D37A1B78-7DC4-46FD-BC31-F7C4D5A11C9C}", u"Test Profiler 2"},
    {u"{D37A1B78-7DC5-46FD-BC31-F7C4D5A11C9C}", u"Test Profiler 3"},
};

// Changed by the profilers' AddRef and Release, which the runtime and the host serialise.
LONG g_TotalReferences[KindCount] = {};

unsigned IndexOf(ProfilerKindIndex kind) {
    return static_cast<unsigned>(kind);
}

// Without the memory for a bridge the profiler is still made, and fails when it connects.
Bridge* CreateBridge(ProfilerKindIndex kind, IPALTools* pPALTools) {
    return new (std::nothrow) Bridge(g_ProcessGuid, Kinds[IndexOf(kind)].pClassId, pPALTools);
}

template <class TProfiler>
BaseProfiler* CreateProfiler(ProfilerKindIndex kind, IPALTools* pPALTools) {
    Bridge* pBridge = CreateBridge(kind, pPALTools);
    BaseProfiler::ShowAttachMessage(Kinds[IndexOf(kind)].pDisplayName);
    return new TProfiler(&g_TotalReferences[IndexOf(kind)], pBridge);
}

}  // namespace

const ProfilerKindInfo& GetProfilerKindInfo(ProfilerKindIndex kind) {
    return Kinds[IndexOf(kind)];
}

LONG GetProfilerTotalReferences(ProfilerKindIndex kind) {
    return g_TotalReferences[IndexOf(kind)];
}

BaseProfiler* CreatePerformanceTracingProfiler(IPALTools* pPALTools) {
    return CreateProfiler<PerformanceTracingProfiler>(ProfilerKindIndex::PerformanceTracing,
                                                      pPALTools);
}

BaseProfiler* CreatePerformanceSamplingProfiler(IPALTools* pPALTools) {
    return CreateProfiler<PerformanceSamplingProfiler>(ProfilerKindIndex::PerformanceSampling,
                                                       pPALTools);
}

BaseProfiler* CreateMemoryProfiler(IPALTools* pPALTools) {
    return CreateProfiler<MemoryProfiler>(ProfilerKindIndex::Memory, pPALTools);
}

BaseProfiler* CreateTestProfiler1(IPALTools* pPALTools) {
    return CreateProfiler<TestProfiler>(ProfilerKindIndex::Test1, pPALTools);
}

BaseProfiler* CreateTestProfiler2(IPALTools* pPALTools) {
    return CreateProfiler<TestProfiler>(ProfilerKindIndex::Test2, pPALTools);
}

BaseProfiler* CreateTestProfiler3(IPALTools* pPALTools) {
    return CreateProfiler<TestProfiler>(ProfilerKindIndex::Test3, pPALTools);
}
