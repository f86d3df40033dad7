// The object the host hands to the profiler library's load entry point. It answers for the three
// host services with the service objects it was built from; the library holds them from load on.
#pragma once

#include <atomic>

#include "WinCE/IPALProfilerHost.h"
#include "WinCE/IPALThreads.h"
#include "WinCE/IPALTools.h"

class HostObject final : public IUnknown {
public:
    // Takes a reference of its own on each service. The object starts with one reference, owned
    // by the creator.
    HostObject(IPALThreads* pThreads, IPALTools* pTools, IPALProfilerHost* pProfilerHost);

    HostObject(const HostObject&) = delete;
    HostObject& operator=(const HostObject&) = delete;

    // IID_IPALThreads, IID_IPALTools and IID_IPALProfilerHost give the service objects;
    // IID_IUnknown gives this object.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

private:
    // Only Release destroys the object; the services are released then.
    ~HostObject();

    std::atomic<ULONG> m_RefCount{1};
    IPALThreads* const m_pThreads;
    IPALTools* const m_pTools;
    IPALProfilerHost* const m_pProfilerHost;
};
