// The host's bridge service inside the test process: StartService runs the service procedure on a
// thread of its own with a connection over a BridgeLine, whose controller end the test plays. It
// records what the bridge asked of it and can be told to fail. Reference counting is real; the
// object is never deleted by Release.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Types.h"
#include "WinCE/IPALTools.h"
#include "support/BridgeLine.h"

class FakePALTools : public IPALTools {
public:
    // What a read returns once the controller has hung up.
    static constexpr HRESULT ConnectionClosed = MakeHResult(0x8007006D);
    static inline const PALStreamHandle DefaultStream = reinterpret_cast<PALStreamHandle>(0x51);

    FakePALTools() = default;
    // Hangs the line up and waits for the service thread.
    ~FakePALTools();

    FakePALTools(const FakePALTools&) = delete;
    FakePALTools& operator=(const FakePALTools&) = delete;

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

    // Set before the bridge uses the service.
    HRESULT m_StartStatus = S_OK;
    PALStreamHandle m_StreamHandle = DefaultStream;  // given to the service procedure
    std::atomic<HRESULT> m_WriteStatus{S_OK};
    // Reads that report "nothing yet" before the line is consulted.
    std::atomic<int> m_EmptyReads{0};

    BridgeLine& Line() { return m_Line; }
    ULONG References() const { return m_References; }
    std::u16string ServiceId() const;
    // The size of every write call, in order.
    std::vector<DWORD> WriteChunks();
    unsigned ReadCalls() const { return m_ReadCalls; }
    unsigned CloseStreamCalls() const { return m_CloseStreamCalls; }
    PALStreamHandle ClosedStream() const { return m_ClosedStream; }

    // Waits for the service procedure to return; false on time-out.
    bool WaitForServiceEnd(std::chrono::milliseconds timeout, DWORD* pResult = nullptr);

private:
    std::atomic<ULONG> m_References{0};
    BridgeLine m_Line;

    mutable std::mutex m_Lock;  // guards the fields below
    std::condition_variable m_ServiceEnded;
    std::u16string m_ServiceId;
    std::vector<DWORD> m_WriteChunks;
    std::thread m_ServiceThread;
    bool m_ServiceRunning = false;
    DWORD m_ServiceResult = 0;

    std::atomic<unsigned> m_ReadCalls{0};
    std::atomic<unsigned> m_CloseStreamCalls{0};
    std::atomic<PALStreamHandle> m_ClosedStream{nullptr};
};
