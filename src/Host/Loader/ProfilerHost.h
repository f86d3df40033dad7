// The host's hand-over point: the profiler library's load entry point gives it the callback
// object it created, and the class factory later hands that object to the runtime.
#pragma once

#include <atomic>
#include <mutex>

#include "WinCE/IPALProfilerHost.h"

class ProfilerHost final : public IPALProfilerHost {
public:
    // The object starts with one reference, owned by the creator.
    ProfilerHost();

    ProfilerHost(const ProfilerHost&) = delete;
    ProfilerHost& operator=(const ProfilerHost&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Keeps a reference of its own on the callback, replacing one given earlier. A null callback
    // is refused with E_POINTER: the runtime cannot run a profiler without one.
    HRESULT STDMETHODCALLTYPE SetProfilerCallback(ICorProfilerCallback2* pCallback) override;

    // The kept callback with a reference for the caller, or null when none was given.
    ICorProfilerCallback2* GetProfilerCallback();

private:
    // Only Release destroys the object; the kept callback is released then.
    ~ProfilerHost();

    std::atomic<ULONG> m_RefCount{1};

    // Guards m_pCallback. Taken by the profiler's load entry point (setting it) and by the class
    // factory (reading it), both on the runtime's loading thread in practice.
    std::mutex m_Lock;
    ICorProfilerCallback2* m_pCallback = nullptr;
};
