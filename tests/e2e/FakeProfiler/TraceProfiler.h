// A minimal profiler for the end-to-end tests: on Initialize it takes the runtime's information
// interface and asks for thread and module events (or the mask QV_FAKE_PROFILER_MASK gives), and it writes one line per event it sees to a
// trace file, so a test can check what the real runtime called:
//   Initialize setEventMask=0x00000000
//   Runtime type=2 version=10.0.12
//   ModuleLoadFinished System.Private.CoreLib.dll
//   ThreadCreated
//   ThreadNameChanged Worker-1
//   Shutdown
#pragma once

#include <mutex>
#include <string>

#include "fixtures/NullProfilerCallback.h"

class TraceProfiler final : public NullProfilerCallback {
public:
    // Lines go to the file descriptor, which the object closes when it goes away.
    explicit TraceProfiler(int traceFd);

    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* pICorProfilerInfoUnk) override;
    HRESULT STDMETHODCALLTYPE Shutdown() override;
    HRESULT STDMETHODCALLTYPE ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ThreadCreated(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                WCHAR name[]) override;

    // Writes one line (a line break is added).
    void Trace(const std::string& line);

private:
    ~TraceProfiler() override;

    void TraceRuntimeInformation();

    const int m_TraceFd;
    // Set in Initialize, released in Shutdown; the runtime calls nothing else meanwhile on them.
    ICorProfilerInfo* m_pInfo = nullptr;
    // Guards writes to m_TraceFd; taken by every callback, from any runtime thread.
    std::mutex m_TraceLock;
};
