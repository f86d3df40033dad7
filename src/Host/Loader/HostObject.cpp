#include "Host/Loader/HostObject.h"

namespace {

HRESULT Hand(IUnknown* pService, void** ppvObject) {
    pService->AddRef();
    *ppvObject = pService;
    return S_OK;
}

}  // namespace

HostObject::HostObject(IPALThreads* pThreads, IPALTools* pTools, IPALProfilerHost* pProfilerHost)
    : m_pThreads(pThreads), m_pTools(pTools), m_pProfilerHost(pProfilerHost) {
    m_pThreads->AddRef();
    m_pTools->AddRef();
    m_pProfilerHost->AddRef();
}

HostObject::~HostObject() {
    m_pProfilerHost->Release();
    m_pTools->Release();
    m_pThreads->Release();
}

HRESULT HostObject::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IPALThreads) {
        return Hand(m_pThreads, ppvObject);
    }
    if (riid == IID_IPALTools) {
        return Hand(m_pTools, ppvObject);
    }
    if (riid == IID_IPALProfilerHost) {
        return Hand(m_pProfilerHost, ppvObject);
    }
    if (riid == IID_IUnknown) {
        return Hand(this, ppvObject);
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG HostObject::AddRef() {
    return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG HostObject::Release() {
    const ULONG remaining = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}
