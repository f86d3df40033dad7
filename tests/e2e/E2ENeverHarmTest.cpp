// The sample program under the test kind against controllers that misbehave: whatever the peer
// does, the program prints what it prints without a profiler and exits with its own code, within
// a bounded time, and the profiler's log says what went wrong (with a well-behaved controller:
// what the test kind did, and no error). Every run sends the profiler's temporary files to a
// folder with a 100-character path (a longer path once crashed the exit).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "Controller/Session.h"
#include "Platform/Socket.h"
#include "SampleRun.h"
#include "support/ScratchDirectory.h"

namespace {

// Bridge, module and thread callbacks (errors are logged whatever the mask).
constexpr const char* LogMask = "09000001";
constexpr size_t TempPathLength = 100;
constexpr DWORD AcceptWait = 60000;

enum class Peer {
    Controller,
    RandomBytes,
    ClosesAtOnce,
    Silent,
    Refuses,
    Nobody,
    VanishesMidSnapshot
};

struct PeerCase {
    const char* name;
    Peer peer;
    // Lines the profiler's log must hold.
    std::vector<const char*> logged;
};

void PrintTo(const PeerCase& c, std::ostream* os) {
    *os << c.name;
}

// A peer that accepts one connection on loopback and then plays its part until Finish.
class HostilePeer {
public:
    explicit HostilePeer(Peer peer) : m_Peer(peer) {
        std::string error;
        m_Listener = Platform::ListenLoopback(0, &error);
        if (m_Listener == nullptr) {
            throw std::runtime_error("can't listen: " + error);
        }
        m_Playing = std::async(std::launch::async, [this] { Play(); });
    }

    ~HostilePeer() { Finish(); }

    WORD Port() const { return Platform::GetSocketPort(m_Listener); }

    // Ends the part (the profiled program has exited); true when a connection was accepted.
    bool Finish() {
        m_Done = true;
        if (m_Playing.valid()) {
            m_Playing.get();
        }
        if (m_Listener != nullptr) {
            Platform::CloseSocket(m_Listener);
            m_Listener = nullptr;
        }
        return m_Accepted;
    }

private:
    void Play() {
        Platform::SocketHandle connection = nullptr;
        for (DWORD waited = 0; !m_Done && waited < AcceptWait; waited += 100) {
            if (Platform::AcceptConnection(m_Listener, 100, &connection) ==
                Platform::SocketResult::Ok) {
                break;
            }
        }
        if (connection == nullptr) {
            return;
        }
        m_Accepted = true;
        if (m_Peer == Peer::RandomBytes) {
            // The same bytes every run, so that a failure can be replayed.
            std::mt19937 generator(20261207);
            std::vector<BYTE> bytes(4096);
            for (BYTE& byte : bytes) {
                byte = static_cast<BYTE>(generator());
            }
            Platform::SendAll(connection, bytes.data(), bytes.size());
        }
        if (m_Peer != Peer::ClosesAtOnce) {
            // Keeps the line open and reads what comes until the program is gone.
            BYTE scrap[4096];
            size_t received = 0;
            while (!m_Done && Platform::ReceiveSome(connection, scrap, sizeof(scrap), 100,
                                                    &received) != Platform::SocketResult::Closed) {
            }
        }
        Platform::CloseSocket(connection);
    }

    const Peer m_Peer;
    Platform::SocketHandle m_Listener = nullptr;
    std::atomic<bool> m_Done{false};
    std::atomic<bool> m_Accepted{false};
    std::future<void> m_Playing;
};

class E2ENeverHarm : public testing::TestWithParam<PeerCase> {};

TEST_P(E2ENeverHarm, SampleKeepsItsOutputAndExitCode) {
    const PeerCase& c = GetParam();
    ScratchDirectory scratch;
    std::string folder = (scratch.Path() / "profiler-runs").string();
    folder += "/" + std::string(TempPathLength - folder.size() - 1, 't');
    ASSERT_EQ(folder.size(), TempPathLength);
    const std::filesystem::path registryPath = scratch.Path() / "settings.reg";
    SampleRun::WriteRegistryFile(registryPath, folder, LogMask);

    ChildProcess child = SampleRun::CommandFor();
    // The sampling kind measures from the start and saves at the program's end: the snapshot a
    // peer can vanish in the middle of.
    SampleRun::AddProfilerVariables(&child, c.peer == Peer::VanishesMidSnapshot
                                                ? SampleRun::SamplingKind
                                                : SampleRun::TestKindTwo);
    child.SetVariable("QUORVELAN_REGISTRY", registryPath.string());

    ChildProcess::Result result;
    if (c.peer == Peer::Controller || c.peer == Peer::Refuses) {
        Controller::SessionOptions options;
        options.acceptConnection = c.peer == Peer::Controller;
        Controller::Session session(options);
        const WORD port = session.Listen();
        auto accepting = std::async(std::launch::async, [&session] {
            try {
                session.Accept(AcceptWait);
                return std::string();
            } catch (const std::exception& e) {
                return std::string(e.what());  // a refused handshake ends the session
            }
        });
        child.SetVariable("QUORVELAN_PROFILER_BRIDGE", "127.0.0.1:" + std::to_string(port));
        result = child.Run(SampleRun::Timeout);
        const std::string acceptError = accepting.get();
        EXPECT_TRUE(c.peer == Peer::Refuses || acceptError.empty()) << acceptError;
        session.Close();
    } else if (c.peer == Peer::VanishesMidSnapshot) {
        Controller::SessionOptions options;
        options.performance.startAtInitialization = true;
        Controller::Session session(options);
        const WORD port = session.Listen();
        std::atomic<bool> vanished{false};
        auto playing = std::async(std::launch::async, [&] {
            try {
                session.Accept(AcceptWait);
                if (session.WaitFor(Controller::EventKind::SnapshotStarted, AcceptWait)) {
                    vanished = true;
                }
            } catch (const std::exception&) {
            }
            session.Close();  // the connection ends under the snapshot's transfer
        });
        child.SetVariable("QUORVELAN_PROFILER_BRIDGE", "127.0.0.1:" + std::to_string(port));
        result = child.Run(SampleRun::Timeout);
        playing.get();
        EXPECT_TRUE(vanished) << "the profiled program never started a snapshot";
    } else if (c.peer == Peer::Nobody) {
        // A port bound but never listened on: connecting is refused, and no session started by
        // a test running beside this one can be handed the same port meanwhile.
        const int bound = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(bound, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
        child.SetVariable("QUORVELAN_PROFILER_BRIDGE",
                          "127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
        result = child.Run(SampleRun::Timeout);
        close(bound);
    } else {
        HostilePeer peer(c.peer);
        child.SetVariable("QUORVELAN_PROFILER_BRIDGE", "127.0.0.1:" + std::to_string(peer.Port()));
        result = child.Run(SampleRun::Timeout);
        EXPECT_TRUE(peer.Finish()) << "the profiled program never connected";
    }

    SampleRun::ExpectUnchanged(result);
    const std::vector<std::string> lines = SampleRun::FindLogLines(folder);
    ASSERT_FALSE(lines.empty()) << "no log in " << folder;
    for (const char* pLogged : c.logged) {
        EXPECT_TRUE(SampleRun::AnyLineContains(lines, pLogged)) << "no log line with: " << pLogged;
    }
    if (c.peer == Peer::Controller) {
        SampleRun::ExpectNoLineWith(lines);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, E2ENeverHarm,
    testing::Values(PeerCase{"Controller",
                             Peer::Controller,
                             {"ProcessGuid={", "BProf::Initialize memoryThreshold=",
                              "TProf::ReadSettings ", "Sample.dll'", "System.Private.CoreLib.dll'",
                              "TProf::ThreadCreated tid=", "BProf::Shutdown Done"}},
                    PeerCase{"RandomBytes", Peer::RandomBytes, {"ERROR: "}},
                    PeerCase{"ClosesAtOnce", Peer::ClosesAtOnce, {"Thread abnormally finished"}},
                    PeerCase{"Silent",
                             Peer::Silent,
                             {"The controller did not complete the handshake within 10 seconds"}},
                    PeerCase{"Refuses", Peer::Refuses, {"Unaccepted connection"}},
                    PeerCase{"Nobody", Peer::Nobody, {"Thread abnormally finished"}},
                    PeerCase{"VanishesMidSnapshot", Peer::VanishesMidSnapshot, {"ERROR: "}}),
    [](const testing::TestParamInfo<PeerCase>& info) { return std::string(info.param.name); });

}  // namespace
