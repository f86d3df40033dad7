// The host's bridge transport over TCP. "Start service" reads the controller's address from
// QUORVELAN_PROFILER_BRIDGE, connects on a thread of its own and runs the service procedure there
// with a stream handle; reads and writes go over that connection.
//
// Failure statuses:
//   PAL_E_BRIDGE_NOT_SET       the variable is unset (start service)
//   E_INVALIDARG               the variable is malformed; a null pointer, an empty procedure or a
//                              transfer above PAL_MAX_TRANSFER bytes (start service, read, write)
//   PAL_E_CONNECTION_CLOSED    the controller ended or reset the connection (read, write)
//   E_FAIL                     any other socket failure, or a send that stalled for a minute
//   E_HANDLE                   a handle that is not (or no longer) open
//   E_OUTOFMEMORY              the service thread could not be started
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "WinCE/IPALTools.h"

// HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND).
constexpr HRESULT PAL_E_BRIDGE_NOT_SET = MakeHResult(0x800700CB);
// HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE).
constexpr HRESULT PAL_E_CONNECTION_CLOSED = MakeHResult(0x8007006D);

class PALTools final : public IPALTools {
public:
    // The environment variable that names the controller, "host:port"; an empty host is 127.0.0.1.
    static constexpr const char* AddressVariable = "QUORVELAN_PROFILER_BRIDGE";
    static constexpr DWORD DefaultConnectTimeout = 5000;
    // How long Read waits for data before it reports that nothing has arrived.
    static constexpr DWORD ReadPollTime = 30;

    // The object starts with one reference, owned by the creator.
    explicit PALTools(DWORD connectTimeout = DefaultConnectTimeout);

    PALTools(const PALTools&) = delete;
    PALTools& operator=(const PALTools&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE StartService(LPCWSTR serviceId, DWORD reserved0,
                                           PALServiceProc pProc, DWORD reserved1,
                                           void* pContext) override;
    HRESULT STDMETHODCALLTYPE Write(PALStreamHandle hStream, const void* pData,
                                    DWORD length) override;
    HRESULT STDMETHODCALLTYPE Read(PALStreamHandle hStream, void* pBuffer, DWORD capacity,
                                   DWORD* pRead) override;
    HRESULT STDMETHODCALLTYPE CloseStream(PALStreamHandle hStream) override;

    // Waits until every service thread started here has returned from its procedure and closed
    // its stream; false when the time ran out first.
    bool WaitForServices(DWORD milliseconds);

    // Splits "host:port" ("[v6]:port" too); false when the text is not of that form or the port is
    // not 1..65535. An empty host becomes 127.0.0.1.
    static bool ParseAddress(const std::string& text, std::string* host, WORD* port);

private:
    // One open connection; shared by the handle table and every call using it at the moment, so a
    // close on one thread never pulls the socket from under a read or write on another.
    struct Connection;

    struct ServiceStart {
        PALTools* pThis;
        PALServiceProc pProc;
        void* pContext;
        std::string host;
        WORD port;
    };

    // Only Release destroys the object.
    ~PALTools();

    std::shared_ptr<Connection> FindConnection(PALStreamHandle hStream);
    PALStreamHandle AddConnection(int fd);
    static void RunService(ServiceStart start);
    // Connects to host:port within the timeout; -1 with the reason in *error on failure.
    int Connect(const std::string& host, WORD port, std::string* error) const;

    std::atomic<ULONG> m_RefCount{1};
    const DWORD m_ConnectTimeout;

    // Guards m_Connections, m_NextHandle and m_RunningServices. Taken briefly by every stream call
    // and by the service threads at their start and end; never held while sending or receiving.
    std::mutex m_Lock;
    std::condition_variable m_ServiceEnded;
    std::map<UINT_PTR, std::shared_ptr<Connection>> m_Connections;
    UINT_PTR m_NextHandle = 1;
    unsigned m_RunningServices = 0;
};
