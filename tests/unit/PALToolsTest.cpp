#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Host/HostDiagnostics.h"
#include "Host/PALTools.h"
#include "Platform/Socket.h"
#include "Platform/Sync.h"
#include "support/LogFileLines.h"
#include "support/ScopedVariable.h"
#include "support/ScratchDirectory.h"

namespace {

constexpr DWORD kGenerousMs = 30000;

// What the service procedure saw; it keeps the stream open until the test releases it.
struct ServiceProbe {
    Platform::EventHandle started = Platform::CreateManualResetEvent(false);
    Platform::EventHandle release = Platform::CreateManualResetEvent(false);
    std::atomic<PALStreamHandle> hStream{nullptr};
    std::atomic<int> calls{0};
    IPALTools* pCloser = nullptr;  // set: the procedure closes the stream itself
    ~ServiceProbe() {
        Platform::CloseEvent(started);
        Platform::CloseEvent(release);
    }
    bool WaitStarted() {
        return Platform::WaitForEvent(started, kGenerousMs) == Platform::WaitResult::Signalled;
    }
};

DWORD ProbeProc(PALStreamHandle hStream, void* pContext) {
    auto* pProbe = static_cast<ServiceProbe*>(pContext);
    pProbe->hStream = hStream;
    pProbe->calls.fetch_add(1);
    Platform::SetEvent(pProbe->started);
    Platform::WaitForEvent(pProbe->release, kGenerousMs);
    if (pProbe->pCloser != nullptr && hStream != nullptr) {
        pProbe->pCloser->CloseStream(hStream);
    }
    return 0;
}

// The controller's end: a loopback listener the service connects to.
class TestServer {
public:
    TestServer() {
        std::string error;
        m_Listener = Platform::ListenLoopback(0, &error);
        EXPECT_NE(nullptr, m_Listener) << error;
    }
    ~TestServer() {
        Platform::CloseSocket(m_Peer);
        Platform::CloseSocket(m_Listener);
    }
    std::string Address() const {
        return ":" + std::to_string(Platform::GetSocketPort(m_Listener));
    }
    bool Accept() {
        return Platform::AcceptConnection(m_Listener, kGenerousMs, &m_Peer) ==
               Platform::SocketResult::Ok;
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(Platform::SocketResult::Ok,
                  Platform::SendAll(m_Peer, bytes.data(), bytes.size()));
    }
    // Receives exactly `count` bytes, or fewer when the connection ends first.
    std::string Receive(size_t count) {
        std::string bytes;
        while (bytes.size() < count) {
            char buffer[4096];
            size_t got = 0;
            if (Platform::ReceiveSome(m_Peer, buffer,
                                      std::min(sizeof(buffer), count - bytes.size()), kGenerousMs,
                                      &got) != Platform::SocketResult::Ok) {
                break;
            }
            bytes.append(buffer, got);
        }
        return bytes;
    }
    // Waits for the end of the stream after any bytes still pending.
    bool SeesEndOfStream() {
        char buffer[64];
        size_t got = 0;
        Platform::SocketResult result;
        do {
            result = Platform::ReceiveSome(m_Peer, buffer, sizeof(buffer), kGenerousMs, &got);
        } while (result == Platform::SocketResult::Ok);
        return result == Platform::SocketResult::Closed;
    }
    void ClosePeer() {
        Platform::CloseSocket(m_Peer);
        m_Peer = nullptr;
    }
    Platform::SocketHandle Peer() const { return m_Peer; }

private:
    Platform::SocketHandle m_Listener = nullptr;
    Platform::SocketHandle m_Peer = nullptr;
};

// The test's reference; waits for the service threads so none outlives the test.
struct ToolsRef {
    PALTools* p = new PALTools(5000);
    ~ToolsRef() {
        EXPECT_TRUE(p->WaitForServices(kGenerousMs));
        p->Release();
    }
    PALTools* operator->() { return p; }
};

const WCHAR kServiceId[] = u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";

// Reads until `count` bytes have arrived, a failure status comes back, or the time runs out.
HRESULT ReadBytes(IPALTools* pTools, PALStreamHandle hStream, size_t count, std::string* bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGenerousMs);
    while (bytes->size() < count && std::chrono::steady_clock::now() < deadline) {
        char buffer[PAL_MAX_TRANSFER];
        DWORD got = 0;
        const HRESULT hr = pTools->Read(hStream, buffer, sizeof(buffer), &got);
        if (FAILED(hr)) {
            return hr;
        }
        bytes->append(buffer, got);
    }
    return S_OK;
}

}  // namespace

TEST(PALTools, ParsesHostAndPortAndAnswersItsOwnInterfacesOnly) {
    std::string host;
    WORD port = 0;
    EXPECT_TRUE(PALTools::ParseAddress(":4242", &host, &port));
    EXPECT_EQ("127.0.0.1", host);
    EXPECT_EQ(4242, port);
    EXPECT_TRUE(PALTools::ParseAddress("localhost:65535", &host, &port));
    EXPECT_EQ("localhost", host);
    EXPECT_EQ(65535, port);
    EXPECT_TRUE(PALTools::ParseAddress("[::1]:1", &host, &port));
    EXPECT_EQ("::1", host);
    for (const char* pBad : {"", "4242", "host:", "host:0", "host:65536", "host:12a", ":-1",
                             "::1:80", "host:123456"}) {
        EXPECT_FALSE(PALTools::ParseAddress(pBad, &host, &port)) << pBad;
    }

    ToolsRef tools;
    void* pInterface = nullptr;
    EXPECT_EQ(S_OK, tools->QueryInterface(IID_IPALTools, &pInterface));
    EXPECT_EQ(static_cast<IPALTools*>(tools.p), pInterface);
    EXPECT_EQ(S_OK, tools->QueryInterface(IID_IUnknown, &pInterface));
    EXPECT_EQ(E_NOINTERFACE, tools->QueryInterface(IID_IClassFactory, &pInterface));
    EXPECT_EQ(nullptr, pInterface);
    EXPECT_EQ(2u, tools->Release());
    EXPECT_EQ(1u, tools->Release());  // back to the test's own reference
}

TEST(PALTools, MissingOrMalformedAddressFailsWithoutCallingTheProcedure) {
    ServiceProbe probe;  // outlives the service threads ToolsRef waits for
    ToolsRef tools;
    const struct {
        const char* destination;
        const char* address;
        HRESULT status;
        std::string message;  // all of it, or with a trailing '*' a part
    } cases[] = {
        // Without a destination for its diagnostics the host says nothing on standard error.
        {nullptr, nullptr, PAL_E_BRIDGE_NOT_SET, ""},
        {"stderr", nullptr, PAL_E_BRIDGE_NOT_SET,
         "Quorvelan host[" + std::to_string(getpid()) +
             "]: QUORVELAN_PROFILER_BRIDGE is not set: start the program with qvprof record, or "
             "set "
             "it to host:port\n"},
        {"stderr", "localhost", E_INVALIDARG, "QUORVELAN_PROFILER_BRIDGE='localhost'*"},
    };
    for (const auto& c : cases) {
        ScopedVariable destination(HostDiagnostics::DestinationVariable, c.destination);
        ScopedVariable variable(PALTools::AddressVariable, c.address);
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.status, tools->StartService(kServiceId, 0, &ProbeProc, 0, &probe));
        const std::string message = testing::internal::GetCapturedStderr();
        if (!c.message.empty() && c.message.back() == '*') {
            EXPECT_NE(std::string::npos, message.find(c.message.substr(0, c.message.size() - 1)));
            EXPECT_NE(std::string::npos, message.find("host:port")) << message;
        } else {
            EXPECT_EQ(c.message, message);
        }
    }
    EXPECT_TRUE(tools->WaitForServices(kGenerousMs));
    EXPECT_EQ(0, probe.calls.load());
}

TEST(PALTools, UnreachableControllerCallsTheProcedureWithZero) {
    // A port that was free a moment ago: nothing listens there any more.
    std::string port;
    {
        TestServer closed;
        port = closed.Address();
    }
    ScopedVariable variable(PALTools::AddressVariable, port.c_str());
    // The diagnostics go to the file named for them, appended.
    ScratchDirectory scratch;
    const std::string logPath = (scratch.Path() / "host.log").string();
    ScopedVariable destination(HostDiagnostics::DestinationVariable, logPath);
    ServiceProbe probe;  // outlives the service threads ToolsRef waits for
    ToolsRef tools;
    Platform::SetEvent(probe.release);
    ASSERT_EQ(S_OK, tools->StartService(kServiceId, 0, &ProbeProc, 0, &probe));
    ASSERT_TRUE(probe.WaitStarted());
    EXPECT_TRUE(tools->WaitForServices(kGenerousMs));
    EXPECT_EQ(nullptr, probe.hStream.load());
    EXPECT_EQ(1, probe.calls.load());
    EXPECT_NE(std::string::npos, ReadWholeFile(logPath).find("can't connect to the controller"));
}

TEST(PALTools, CarriesBytesBothWaysAndClosesTheStreamOnceAfterTheProcedure) {
    for (const bool procedureCloses : {false, true}) {
        SCOPED_TRACE(procedureCloses);
        TestServer server;
        ScopedVariable variable(PALTools::AddressVariable, server.Address().c_str());
        ServiceProbe probe;  // outlives the service threads ToolsRef waits for
        ToolsRef tools;
        probe.pCloser = procedureCloses ? tools.p : nullptr;
        ASSERT_EQ(S_OK, tools->StartService(kServiceId, 0, &ProbeProc, 0, &probe));
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(probe.WaitStarted());
        const PALStreamHandle hStream = probe.hStream;
        ASSERT_NE(nullptr, hStream);
        char buffer[16];
        DWORD got = 123;
        if (!procedureCloses) {
            // Nothing pending: success with nothing read.
            EXPECT_EQ(S_OK, tools->Read(hStream, buffer, sizeof(buffer), &got));
            EXPECT_EQ(0u, got);
            EXPECT_EQ(S_OK, tools->Write(hStream, "hello", 5));
            EXPECT_EQ("hello", server.Receive(5));
            server.Send("world!");
            std::string received;
            EXPECT_EQ(S_OK, ReadBytes(tools.p, hStream, 6, &received));
            EXPECT_EQ("world!", received);

            // A transfer above the host's chunk size is refused; full chunks arrive whole, in
            // order.
            std::vector<char> big(40000);
            for (size_t i = 0; i < big.size(); ++i) {
                big[i] = static_cast<char>(i * 7 + i / 251);
            }
            EXPECT_EQ(E_INVALIDARG, tools->Write(hStream, big.data(), PAL_MAX_TRANSFER + 1));
            EXPECT_EQ(S_OK, tools->Write(hStream, big.data(), 16384));
            EXPECT_EQ(S_OK, tools->Write(hStream, big.data() + 16384, 16384));
            EXPECT_EQ(S_OK, tools->Write(hStream, big.data() + 32768, 7232));
            EXPECT_EQ(std::string(big.begin(), big.end()), server.Receive(big.size()));
        }
        // Whether or not the procedure closed it, the stream ends exactly once.
        Platform::SetEvent(probe.release);
        EXPECT_TRUE(server.SeesEndOfStream());
        EXPECT_TRUE(tools->WaitForServices(kGenerousMs));
        EXPECT_EQ(E_HANDLE, tools->Read(hStream, buffer, sizeof(buffer), &got));
        EXPECT_EQ(E_HANDLE, tools->Write(hStream, "x", 1));
        EXPECT_EQ(E_HANDLE, tools->CloseStream(hStream));
    }
}

// A service started against a test server: its connection accepted, its procedure running.
class PALToolsConnected : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, tools->StartService(kServiceId, 0, &ProbeProc, 0, &probe));
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(probe.WaitStarted());
    }

    TestServer server;
    ScopedVariable variable{PALTools::AddressVariable, server.Address().c_str()};
    ServiceProbe probe;  // outlives the service threads ToolsRef waits for
    ToolsRef tools;
};

TEST_F(PALToolsConnected, PeerCloseIsAFailureForReadAndWrite) {
    const PALStreamHandle hStream = probe.hStream;

    server.Send("ab");
    server.ClosePeer();
    // Bytes sent before the close are still delivered; then the read fails.
    std::string received;
    EXPECT_EQ(PAL_E_CONNECTION_CLOSED, ReadBytes(tools.p, hStream, 1000, &received));
    EXPECT_EQ("ab", received);
    // The first sends may still be accepted locally; the reset makes a later one fail.
    HRESULT hr = S_OK;
    for (int i = 0; i < 1000 && SUCCEEDED(hr); ++i) {
        hr = tools->Write(hStream, "data", 4);
    }
    EXPECT_EQ(PAL_E_CONNECTION_CLOSED, hr);
    Platform::SetEvent(probe.release);
}

// The controller reads the tail of a snapshot slowly and keeps sending idle messages. The stream
// closed on our side must still deliver every byte: a socket closed with bytes unsent answers the
// next idle message with a reset that throws them away.
TEST_F(PALToolsConnected, AClosedStreamDeliversItsTailToAPeerThatReadsSlowlyAndKeepsSending) {
    std::string received;
    std::thread controller([&] {
        for (;;) {
            Platform::SendAll(server.Peer(), "i", 1);  // fails once the stream is gone
            char buffer[8192];
            size_t got = 0;
            if (Platform::ReceiveSome(server.Peer(), buffer, sizeof(buffer), kGenerousMs, &got) !=
                Platform::SocketResult::Ok) {
                return;
            }
            received.append(buffer, got);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::string sent;
    for (int i = 0; i < 32; ++i) {
        const std::string chunk(16384, static_cast<char>('a' + i % 26));
        ASSERT_EQ(S_OK, tools->Write(probe.hStream, chunk.data(), chunk.size()));
        sent += chunk;
    }
    Platform::SetEvent(probe.release);
    controller.join();
    EXPECT_EQ(sent.size(), received.size());
    EXPECT_TRUE(sent == received);
}
