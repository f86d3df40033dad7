// Snapshot section data streamed over the real bridge (Bridge over the host's TCP transport, the
// controller's Session on the other end of a loopback connection), against the same bytes sent
// over a plain loopback socket pair in the same run:
//   - many small writes, as counter encodings make them (1 and 3 bytes per write);
//   - large writes (64 KiB per write);
//   - the socket baseline also as one single write of all the bytes.
// Each bridge run is a whole snapshot of one section, timed until the controller holds it. At the
// end the program prints the throughputs in MB/s and each bridge figure as a ratio to the socket
// with the same write size and to the socket with one big write.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/BridgeSnapShotStorage.h"
#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/IBridgeClientInfo.h"
#include "Bridge/IBridgeEvent.h"
#include "CommandProcessor/ControlledCommandProcessor.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/Session.h"
#include "Host/PALTools.h"
#include "Platform/Clock.h"
#include "Platform/Socket.h"
#include "WinCE/Bridge.h"

namespace {

constexpr DWORD kWaitMs = 60000;
constexpr GUID kProcessGuid = {
    0x5A0C9E21, 0x7B3D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};
// Bytes per run: small writes cost a call each, so their runs are shorter.
constexpr size_t kSmallTotal = size_t(1) << 20;
constexpr size_t kLargeTotal = size_t(32) << 20;

// Whole writes only, so that every run sends exactly this many bytes.
size_t TotalFor(size_t writeSize) {
    const size_t target = writeSize < 1024 ? kSmallTotal : kLargeTotal;
    return target / writeSize * writeSize;
}

// The shortened idle-line pause keeps the section request's reply from waiting 100 ms.
void ShortPause(DWORD) {
    Platform::Sleep(1);
}

// A memory-kind client whose processor only moves bytes.
class StreamingProcessor : public ControlledCommandProcessor<IBridgeControl> {
public:
    using ControlledCommandProcessor<IBridgeControl>::ControlledCommandProcessor;
    void EnableCommands() override {}
    void DisableCommands() override {}
};

class StreamingClient : public IBridgeClientInfo {
public:
    const GUID* GetClientGuid() override { return &Controller::MemoryClientGuid; }
    std::unique_ptr<CommandProcessor> CreateCommandProcessor(BaseBridge* pBridge, IBridgeEvent*,
                                                             DWORD controlKind,
                                                             DWORD snapshotType) override {
        return std::make_unique<StreamingProcessor>(pBridge, controlKind, snapshotType);
    }
    void ReadSettings(IReadBridgeStream& stream) override {
        ReadBool(stream);
        ReadU32(stream);
        ReadBool(stream);
        ReadBool(stream);
        ReadBool(stream);
    }
};

class NoEvents : public IBridgeEvent {};

// Both ends of one bridge connection, for the whole run.
struct BridgeLink {
    BridgeLink() {
        Controller::SessionOptions options;
        options.idleInterval = 50;
        pSession = std::make_unique<Controller::Session>(options);
        const WORD port = pSession->Listen(0);
        setenv(PALTools::AddressVariable, ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
        pTools = new PALTools();
        pBridge = std::make_unique<Bridge>(kProcessGuid, u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}",
                                           pTools, &ShortPause);
        pBridge->SetClient(&client, &events);
        auto connecting = std::async(std::launch::async, [this] { pBridge->Connect(); });
        pSession->Accept(kWaitMs);
        connecting.get();
    }
    ~BridgeLink() {
        pBridge->Close();
        pSession->Close();
        pBridge.reset();
        pTools->WaitForServices(kWaitMs);
        pTools->Release();
    }

    StreamingClient client;
    NoEvents events;
    std::unique_ptr<Controller::Session> pSession;
    PALTools* pTools = nullptr;
    std::unique_ptr<Bridge> pBridge;
};

BridgeLink* g_pLink = nullptr;
// Name of a run -> MB/s.
std::map<std::string, double> g_Throughput;

double MegabytesPerSecond(size_t bytes, std::chrono::steady_clock::duration time) {
    return double(bytes) / 1e6 / std::chrono::duration<double>(time).count();
}

void BM_Bridge(benchmark::State& state) {
    const size_t writeSize = static_cast<size_t>(state.range(0));
    const size_t total = TotalFor(writeSize);
    const std::vector<BYTE> data(writeSize, 0x5A);
    size_t bytes = 0;
    std::chrono::steady_clock::duration time{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        BridgeSnapShotStorage storage;
        storage.Create(g_pLink->pBridge->GetControl(), Controller::MemorySnapshotMagic, 0,
                       kProcessGuid, 1);
        IWriteSeekBridgeStream* pSection = storage.CreateSection();
        for (size_t sent = 0; sent < total; sent += writeSize) {
            pSection->Write(data.data(), writeSize);
        }
        storage.CloseSection(pSection, 0x3100, 0);
        storage.Close();
        auto event = g_pLink->pSession->WaitFor(Controller::EventKind::Snapshot, kWaitMs);
        if (!event || !event->snapshot || event->snapshot->sections.at(0).bytes.size() != total) {
            state.SkipWithError("the controller did not receive the snapshot whole");
            return;
        }
        time += std::chrono::steady_clock::now() - start;
        bytes += total;
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    g_Throughput["bridge/" + std::to_string(writeSize)] = MegabytesPerSecond(bytes, time);
}

// One loopback socket pair; the receiver drains on a thread of its own, like the controller.
void BM_Socket(benchmark::State& state) {
    const size_t writeSize = static_cast<size_t>(state.range(0));
    const size_t total = static_cast<size_t>(state.range(1)) / writeSize * writeSize;
    std::string error;
    Platform::SocketHandle listener = Platform::ListenLoopback(0, &error);
    Platform::SocketHandle client =
        Platform::ConnectLoopback(Platform::GetSocketPort(listener), kWaitMs, &error);
    Platform::SocketHandle server = nullptr;
    Platform::AcceptConnection(listener, kWaitMs, &server);
    const std::vector<BYTE> data(writeSize, 0x5A);
    size_t bytes = 0;
    std::chrono::steady_clock::duration time{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto receiving = std::async(std::launch::async, [server, total] {
            std::vector<BYTE> buffer(64 * 1024);
            size_t got = 0;
            while (got < total) {
                size_t now = 0;
                if (Platform::ReceiveSome(server, buffer.data(), buffer.size(), kWaitMs, &now) !=
                    Platform::SocketResult::Ok) {
                    return false;
                }
                got += now;
            }
            return true;
        });
        for (size_t sent = 0; sent < total; sent += writeSize) {
            Platform::SendAll(client, data.data(), writeSize);
        }
        if (!receiving.get()) {
            state.SkipWithError("the socket pair broke");
            break;
        }
        time += std::chrono::steady_clock::now() - start;
        bytes += total;
    }
    Platform::CloseSocket(client);
    Platform::CloseSocket(server);
    Platform::CloseSocket(listener);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    const std::string key = writeSize == total ? "socket-one-write/" + std::to_string(total)
                                               : "socket/" + std::to_string(writeSize);
    g_Throughput[key] = MegabytesPerSecond(bytes, time);
}

BENCHMARK(BM_Bridge)->Arg(1)->Arg(3)->Arg(65536)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Socket)
    ->Args({1, kSmallTotal})
    ->Args({3, kSmallTotal})
    ->Args({kSmallTotal, kSmallTotal})
    ->Args({65536, kLargeTotal})
    ->Args({kLargeTotal, kLargeTotal})
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    BridgeLink link;
    g_pLink = &link;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_pLink = nullptr;

    std::printf("\nThroughput (MB/s) and ratios bridge/baseline:\n");
    for (const size_t size : {size_t(1), size_t(3), size_t(65536)}) {
        const std::string key = std::to_string(size);
        const double bridge = g_Throughput["bridge/" + key];
        const double socket = g_Throughput["socket/" + key];
        const double oneWrite =
            g_Throughput["socket-one-write/" +
                         std::to_string(size < 1024 ? kSmallTotal : kLargeTotal)];
        if (bridge == 0 || socket == 0 || oneWrite == 0) {
            continue;  // filtered out
        }
        std::printf(
            "  %5zu-byte writes: bridge %8.1f, socket same writes %8.1f (ratio %.2f), "
            "socket one write %8.1f (ratio %.2f)\n",
            size, bridge, socket, bridge / socket, oneWrite, bridge / oneWrite);
    }
    return 0;
}
