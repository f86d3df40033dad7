// The class factory the runtime gets for one profiler kind. Creating an instance loads the
// profiler library, runs the kind's load entry point with a fresh host object, and answers with
// the callback object the entry point handed to the host.
//
// The host never runs the entry point's unload command: the runtime calls the profiler's
// Shutdown itself when the process exits, and a second shutdown would run on torn-down state.
#pragma once

#include <atomic>

#include "Platform/Types.h"

class ProfilerClassFactory final : public IClassFactory {
public:
    // The object starts with one reference, owned by the creator.
    explicit ProfilerClassFactory(REFCLSID clsid);

    ProfilerClassFactory(const ProfilerClassFactory&) = delete;
    ProfilerClassFactory& operator=(const ProfilerClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Every failure is also described on standard error: the runtime only logs the status and
    // then runs the program without a profiler.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppvObject) override;
    // The library stays loaded for the life of the process anyway.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

private:
    // Only Release destroys the object.
    ~ProfilerClassFactory() = default;

    // CreateInstance's work; failures other than exceptions are reported here.
    HRESULT LoadProfiler(REFIID riid, void** ppvObject);

    std::atomic<ULONG> m_RefCount{1};
    const CLSID m_Clsid;
};
