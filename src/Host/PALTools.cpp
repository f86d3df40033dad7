#include "Host/PALTools.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Host/HostDiagnostics.h"

namespace {

// A send that makes no progress for this long means the controller stopped reading.
constexpr int SendStallSeconds = 60;
// At close, the controller taking none of our unacknowledged bytes for this long means it stopped
// reading; what it has not taken by then is given up.
constexpr auto CloseStall = std::chrono::seconds(2);

using Clock = std::chrono::steady_clock;

int PollOne(int fd, short events, int milliseconds) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, milliseconds);
        if (ready >= 0 || errno != EINTR) {
            return ready;
        }
    }
}

// Connects one resolved address, giving up when the deadline passes.
int ConnectAddress(const addrinfo& address, Clock::time_point deadline, int* failure) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address.ai_protocol);
    if (fd < 0) {
        *failure = errno;
        return -1;
    }
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            *failure = errno;
            close(fd);
            return -1;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready =
            PollOne(fd, POLLOUT, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        int error = 0;
        socklen_t length = sizeof(error);
        if (ready == 0) {
            error = ETIMEDOUT;
        } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error != 0) {
            *failure = error;
            close(fd);
            return -1;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Section requests wait for the controller's replies: no coalescing delay on small messages.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    timeval stall{SendStallSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof(stall));
    return fd;
}

}  // namespace

struct PALTools::Connection {
    const int m_Fd;
    // Guards sending on m_Fd, so that each Write call reaches the peer whole even when callers
    // forget to serialise. Taken by Write on any thread.
    std::mutex m_SendLock;

    explicit Connection(int fd) : m_Fd(fd) {}

    ~Connection() {
        // Our last bytes go first, then the end of stream.
        shutdown(m_Fd, SHUT_WR);
        DrainUntilDelivered();
        close(m_Fd);
    }

    // A closed socket answers any further input with a reset, which throws away whatever it
    // has not sent yet. The controller keeps sending (idle messages) while it reads the tail
    // of a snapshot slowly, so the tail would be lost: input is drained until the controller has
    // acknowledged all our bytes, has closed its side, or has taken nothing for CloseStall.
    void DrainUntilDelivered() const {
        char scrap[4096];
        int lastUnacknowledged = -1;
        Clock::time_point lastProgress = Clock::now();
        for (;;) {
            ssize_t got;
            do {
                got = recv(m_Fd, scrap, sizeof(scrap), MSG_DONTWAIT);
            } while (got > 0 || (got < 0 && errno == EINTR));
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                return;  // the controller closed its side, or the connection failed
            }
            int unacknowledged = 0;
            if (ioctl(m_Fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged <= 0) {
                return;
            }
            const Clock::time_point now = Clock::now();
            if (lastUnacknowledged < 0 || unacknowledged < lastUnacknowledged) {
                lastUnacknowledged = unacknowledged;
                lastProgress = now;
            } else if (now - lastProgress >= CloseStall) {
                return;
            }
            PollOne(m_Fd, POLLIN, 10);
        }
    }
};

PALTools::PALTools(DWORD connectTimeout) : m_ConnectTimeout(connectTimeout) {}

PALTools::~PALTools() = default;

HRESULT PALTools::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IPALTools) {
        *ppvObject = static_cast<IPALTools*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG PALTools::AddRef() {
    return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG PALTools::Release() {
    const ULONG remaining = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

bool PALTools::ParseAddress(const std::string& text, std::string* host, WORD* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string name = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
    if (value == 0 || value > 65535) {
        return false;
    }
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    *host = name.empty() ? "127.0.0.1" : name;
    *port = static_cast<WORD>(value);
    return true;
}

HRESULT PALTools::StartService(LPCWSTR serviceId, DWORD reserved0, PALServiceProc pProc,
                               DWORD reserved1, void* pContext) {
    if (pProc == nullptr) {
        return E_INVALIDARG;
    }
    const char* pAddress = std::getenv(AddressVariable);
    if (pAddress == nullptr || *pAddress == 0) {
        HostDiagnostics::ReportFailure(
            "QUORVELAN_PROFILER_BRIDGE is not set: start the program with qvprof record, or set "
            "it to host:port");
        return PAL_E_BRIDGE_NOT_SET;
    }
    ServiceStart start{this, pProc, pContext, std::string(), 0};
    if (!ParseAddress(pAddress, &start.host, &start.port)) {
        HostDiagnostics::ReportFailure({"QUORVELAN_PROFILER_BRIDGE='", pAddress,
                                        "' is not of the form host:port (port 1 to 65535): start "
                                        "the program with qvprof record, or correct it"});
        return E_INVALIDARG;
    }

    // The service thread keeps the object alive until it has closed its stream.
    AddRef();
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        ++m_RunningServices;
    }
    try {
        std::thread(&PALTools::RunService, std::move(start)).detach();
    } catch (const std::exception&) {
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            --m_RunningServices;
            m_ServiceEnded.notify_all();
        }
        Release();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int PALTools::Connect(const std::string& host, WORD port, std::string* error) const {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResults = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &pResults);
    if (resolved != 0) {
        *error = std::string("can't resolve the host: ") + gai_strerror(resolved);
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_ConnectTimeout);
    int failure = 0;
    int fd = -1;
    for (const addrinfo* pAddress = pResults; pAddress != nullptr && fd < 0;
         pAddress = pAddress->ai_next) {
        fd = ConnectAddress(*pAddress, deadline, &failure);
    }
    freeaddrinfo(pResults);
    if (fd < 0) {
        *error = std::strerror(failure);
    }
    return fd;
}

PALStreamHandle PALTools::AddConnection(int fd) {
    auto pConnection = std::make_shared<Connection>(fd);
    std::lock_guard<std::mutex> guard(m_Lock);
    const UINT_PTR handle = m_NextHandle++;
    m_Connections.emplace(handle, std::move(pConnection));
    return reinterpret_cast<PALStreamHandle>(handle);
}

void PALTools::RunService(ServiceStart start) {
    PALTools* pThis = start.pThis;
    std::string error;
    const int fd = pThis->Connect(start.host, start.port, &error);
    PALStreamHandle hStream = nullptr;
    if (fd < 0) {
        const std::string port = std::to_string(start.port);
        HostDiagnostics::ReportFailure({"can't connect to the controller at ", start.host.c_str(),
                                        ":", port.c_str(), " (", error.c_str(),
                                        "); is qvprof record or qvprof listen still running?"});
    } else {
        try {
            hStream = pThis->AddConnection(fd);
        } catch (const std::exception&) {
            close(fd);
            HostDiagnostics::ReportFailure({"out of memory while opening the bridge connection"});
        }
    }

    try {
        // With no connection the procedure gets 0 and ends the bridge at once.
        start.pProc(hStream, start.pContext);
    } catch (...) {
        HostDiagnostics::ReportFailure({"the bridge service procedure ended with an exception"});
    }
    if (hStream != nullptr) {
        pThis->CloseStream(hStream);
    }

    {
        std::lock_guard<std::mutex> guard(pThis->m_Lock);
        --pThis->m_RunningServices;
        pThis->m_ServiceEnded.notify_all();
    }
    pThis->Release();
}

std::shared_ptr<PALTools::Connection> PALTools::FindConnection(PALStreamHandle hStream) {
    std::lock_guard<std::mutex> guard(m_Lock);
    const auto found = m_Connections.find(reinterpret_cast<UINT_PTR>(hStream));
    return found != m_Connections.end() ? found->second : nullptr;
}

HRESULT PALTools::Write(PALStreamHandle hStream, const void* pData, DWORD length) {
    if (length > PAL_MAX_TRANSFER || (pData == nullptr && length > 0)) {
        return E_INVALIDARG;
    }
    const std::shared_ptr<Connection> pConnection = FindConnection(hStream);
    if (pConnection == nullptr) {
        return E_HANDLE;
    }
    std::lock_guard<std::mutex> guard(pConnection->m_SendLock);
    const char* pNext = static_cast<const char*>(pData);
    size_t left = length;
    while (left > 0) {
        const ssize_t sent = send(pConnection->m_Fd, pNext, left, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EPIPE || errno == ECONNRESET ? PAL_E_CONNECTION_CLOSED : E_FAIL;
        }
        pNext += sent;
        left -= static_cast<size_t>(sent);
    }
    return S_OK;
}

HRESULT PALTools::Read(PALStreamHandle hStream, void* pBuffer, DWORD capacity, DWORD* pRead) {
    if (pRead == nullptr) {
        return E_POINTER;
    }
    *pRead = 0;
    if (capacity > PAL_MAX_TRANSFER || pBuffer == nullptr) {
        return E_INVALIDARG;
    }
    const std::shared_ptr<Connection> pConnection = FindConnection(hStream);
    if (pConnection == nullptr) {
        return E_HANDLE;
    }
    if (capacity == 0) {
        return S_OK;
    }
    const int ready = PollOne(pConnection->m_Fd, POLLIN, static_cast<int>(ReadPollTime));
    if (ready < 0) {
        return E_FAIL;
    }
    if (ready == 0) {
        return S_OK;  // nothing has arrived yet
    }
    ssize_t got;
    do {
        got = recv(pConnection->m_Fd, pBuffer, capacity, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return S_OK;
        }
        return errno == ECONNRESET ? PAL_E_CONNECTION_CLOSED : E_FAIL;
    }
    if (got == 0) {
        return PAL_E_CONNECTION_CLOSED;
    }
    *pRead = static_cast<DWORD>(got);
    return S_OK;
}

HRESULT PALTools::CloseStream(PALStreamHandle hStream) {
    std::shared_ptr<Connection> pConnection;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        const auto found = m_Connections.find(reinterpret_cast<UINT_PTR>(hStream));
        if (found == m_Connections.end()) {
            return E_HANDLE;
        }
        pConnection = std::move(found->second);
        m_Connections.erase(found);
    }
    // The socket closes when the last call still using it lets go.
    return S_OK;
}

bool PALTools::WaitForServices(DWORD milliseconds) {
    std::unique_lock<std::mutex> guard(m_Lock);
    auto allEnded = [this] { return m_RunningServices == 0; };
    if (milliseconds == INFINITE) {
        m_ServiceEnded.wait(guard, allEnded);
        return true;
    }
    return m_ServiceEnded.wait_for(guard, std::chrono::milliseconds(milliseconds), allEnded);
}
