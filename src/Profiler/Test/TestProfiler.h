// The test profiler kinds: every runtime callback is logged under its component with its ids
// ("TProf::ThreadCreated tid=%p") and answered with success. They ask for thread, module,
// assembly, application domain, class load, exception, collection and suspension events, install
// no hooks and build no snapshot. On the bridge they are a performance client whose commands are
// only logged.
#pragma once

#include "Profiler/BaseProfiler.h"
#include "Profiler/Test/TestProfilerClientInfo.h"
#include "Profiler/Test/TestProfilerEvent.h"

class TestProfiler : public BaseProfiler {
public:
    static constexpr DWORD EventMask = COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS |
                                       COR_PRF_MONITOR_ASSEMBLY_LOADS |
                                       COR_PRF_MONITOR_APPDOMAIN_LOADS |
                                       COR_PRF_MONITOR_EXCEPTIONS | COR_PRF_MONITOR_GC |
                                       COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_SUSPENDS;
    // The four characters "QVTS" as a little-endian u32; no snapshot is ever created with it.
    static constexpr DWORD SnapshotMagic = 0x53545651;

    // Hands its client-info object and event sink to the bridge when there is one.
    TestProfiler(LONG* pTotalRef, Bridge* pBridge);

    // Module loads name the module the runtime reports; thread names are shown.
    HRESULT STDMETHODCALLTYPE ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                WCHAR name[]) override;

protected:
    ~TestProfiler() override;
    DWORD GetEventMask() override { return EventMask; }
    DWORD GetSnapshotType() override { return SnapshotMagic; }
    DWORD GenerateSnapshotSequenceGuid(GUID* pSequence) override;

private:
    // The module's name as the runtime reports it, or "???".
    WString ModuleName(ModuleID moduleId);

    TestProfilerClientInfo m_ClientInfo;
    TestProfilerEvent m_Event;
};
