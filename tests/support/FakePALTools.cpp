#include "support/FakePALTools.h"

#include <chrono>

namespace {

// A real host waits briefly for data before it answers "nothing yet".
constexpr std::chrono::milliseconds READ_POLL{20};

}  // namespace

FakePALTools::~FakePALTools() {
    m_Line.Hangup();
    if (m_ServiceThread.joinable()) {
        m_ServiceThread.join();
    }
}

HRESULT FakePALTools::QueryInterface(REFIID riid, void** ppvObject) {
    if (riid == IID_IUnknown || riid == IID_IPALTools) {
        *ppvObject = static_cast<IPALTools*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakePALTools::StartService(LPCWSTR serviceId, DWORD, PALServiceProc pProc, DWORD,
                                   void* pContext) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_ServiceId = serviceId != nullptr ? serviceId : u"";
    if (FAILED(m_StartStatus)) {
        return m_StartStatus;
    }
    if (m_ServiceThread.joinable()) {
        m_ServiceThread.join();
    }
    m_ServiceRunning = true;
    PALStreamHandle hStream = m_StreamHandle;
    m_ServiceThread = std::thread([this, pProc, pContext, hStream] {
        const DWORD result = pProc(hStream, pContext);
        std::lock_guard<std::mutex> guard(m_Lock);
        m_ServiceResult = result;
        m_ServiceRunning = false;
        m_ServiceEnded.notify_all();
    });
    return S_OK;
}

HRESULT FakePALTools::Write(PALStreamHandle, const void* pData, DWORD length) {
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_WriteChunks.push_back(length);
    }
    const HRESULT status = m_WriteStatus;
    if (FAILED(status)) {
        return status;
    }
    return m_Line.ToController().Push(pData, length) ? S_OK : ConnectionClosed;
}

HRESULT FakePALTools::Read(PALStreamHandle, void* pBuffer, DWORD capacity, DWORD* pRead) {
    ++m_ReadCalls;
    *pRead = 0;
    if (m_EmptyReads > 0) {
        --m_EmptyReads;
        return S_OK;
    }
    BytePipe& in = m_Line.ToProfiler();
    *pRead = static_cast<DWORD>(in.PopSome(pBuffer, capacity, READ_POLL));
    if (*pRead == 0 && in.IsClosed()) {
        return ConnectionClosed;
    }
    return S_OK;
}

HRESULT FakePALTools::CloseStream(PALStreamHandle hStream) {
    ++m_CloseStreamCalls;
    m_ClosedStream = hStream;
    return S_OK;
}

std::u16string FakePALTools::ServiceId() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_ServiceId;
}

std::vector<DWORD> FakePALTools::WriteChunks() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_WriteChunks;
}

bool FakePALTools::WaitForServiceEnd(std::chrono::milliseconds timeout, DWORD* pResult) {
    std::unique_lock<std::mutex> lock(m_Lock);
    if (!m_ServiceEnded.wait_for(lock, timeout, [this] { return !m_ServiceRunning; })) {
        return false;
    }
    if (pResult != nullptr) {
        *pResult = m_ServiceResult;
    }
    return true;
}
