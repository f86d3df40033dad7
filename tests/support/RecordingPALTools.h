// The host's bridge service with a tap: every call goes to the real service underneath, and the
// bytes that cross the connection are kept, each direction in the order it travelled. Used to
// record real sessions (the fuzzers' seeds). The object is never deleted by Release.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "Platform/Types.h"
#include "WinCE/IPALTools.h"

class RecordingPALTools final : public IPALTools {
public:
    // Takes a reference on pTools for the object's life.
    explicit RecordingPALTools(IPALTools* pTools);
    ~RecordingPALTools();

    RecordingPALTools(const RecordingPALTools&) = delete;
    RecordingPALTools& operator=(const RecordingPALTools&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_References; }

    HRESULT STDMETHODCALLTYPE StartService(LPCWSTR serviceId, DWORD reserved0, PALServiceProc pProc,
                                           DWORD reserved1, void* pContext) override;
    HRESULT STDMETHODCALLTYPE Write(PALStreamHandle hStream, const void* pData,
                                    DWORD length) override;
    HRESULT STDMETHODCALLTYPE Read(PALStreamHandle hStream, void* pBuffer, DWORD capacity,
                                   DWORD* pRead) override;
    HRESULT STDMETHODCALLTYPE CloseStream(PALStreamHandle hStream) override;

    // What the profiler received from the controller, and what it sent.
    std::vector<BYTE> Received();
    std::vector<BYTE> Sent();
    ULONG References() const { return m_References; }

private:
    IPALTools* const m_pTools;
    std::atomic<ULONG> m_References{0};

    std::mutex m_Lock;  // guards both recordings
    std::vector<BYTE> m_Received;
    std::vector<BYTE> m_Sent;
};
