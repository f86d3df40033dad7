#include "support/RecordingPALTools.h"

RecordingPALTools::RecordingPALTools(IPALTools* pTools) : m_pTools(pTools) {
    m_pTools->AddRef();
}

RecordingPALTools::~RecordingPALTools() {
    m_pTools->Release();
}

HRESULT RecordingPALTools::QueryInterface(REFIID riid, void** ppvObject) {
    if (riid == IID_IUnknown || riid == IID_IPALTools) {
        *ppvObject = static_cast<IPALTools*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

HRESULT RecordingPALTools::StartService(LPCWSTR serviceId, DWORD reserved0, PALServiceProc pProc,
                                        DWORD reserved1, void* pContext) {
    return m_pTools->StartService(serviceId, reserved0, pProc, reserved1, pContext);
}

HRESULT RecordingPALTools::Write(PALStreamHandle hStream, const void* pData, DWORD length) {
    // Recorded under the lock around the call, so that the order is the order on the wire.
    std::lock_guard<std::mutex> guard(m_Lock);
    const HRESULT hr = m_pTools->Write(hStream, pData, length);
    if (SUCCEEDED(hr)) {
        const auto* pBytes = static_cast<const BYTE*>(pData);
        m_Sent.insert(m_Sent.end(), pBytes, pBytes + length);
    }
    return hr;
}

HRESULT RecordingPALTools::Read(PALStreamHandle hStream, void* pBuffer, DWORD capacity,
                                DWORD* pRead) {
    const HRESULT hr = m_pTools->Read(hStream, pBuffer, capacity, pRead);
    if (SUCCEEDED(hr) && *pRead != 0) {
        const auto* pBytes = static_cast<const BYTE*>(pBuffer);
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Received.insert(m_Received.end(), pBytes, pBytes + *pRead);
    }
    return hr;
}

HRESULT RecordingPALTools::CloseStream(PALStreamHandle hStream) {
    return m_pTools->CloseStream(hStream);
}

std::vector<BYTE> RecordingPALTools::Received() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Received;
}

std::vector<BYTE> RecordingPALTools::Sent() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Sent;
}
