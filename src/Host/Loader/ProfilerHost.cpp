#include "Host/Loader/ProfilerHost.h"

#include <utility>

ProfilerHost::ProfilerHost() = default;

ProfilerHost::~ProfilerHost() {
    if (m_pCallback != nullptr) {
        m_pCallback->Release();
    }
}

HRESULT ProfilerHost::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IPALProfilerHost) {
        *ppvObject = static_cast<IPALProfilerHost*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG ProfilerHost::AddRef() {
    return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ProfilerHost::Release() {
    const ULONG remaining = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

HRESULT ProfilerHost::SetProfilerCallback(ICorProfilerCallback2* pCallback) {
    if (pCallback == nullptr) {
        return E_POINTER;
    }
    pCallback->AddRef();
    ICorProfilerCallback2* pOld;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        pOld = std::exchange(m_pCallback, pCallback);
    }
    // Released outside the lock: a callback object's destructor may call back into the host.
    if (pOld != nullptr) {
        pOld->Release();
    }
    return S_OK;
}

ICorProfilerCallback2* ProfilerHost::GetProfilerCallback() {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_pCallback != nullptr) {
        m_pCallback->AddRef();
    }
    return m_pCallback;
}
