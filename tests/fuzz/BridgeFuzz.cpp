// The profiler's end of the bridge fed with what a controller might send: the input is every byte
// the controller sends, from its answer to the protocol identifier on, and then the connection
// ends. The real Bridge, BaseBridge handshake, performance settings reader and measure command
// processor run with a command thread whose event sink streams a small snapshot on StopSave, so
// that replies from the input meet real requests.
//
// Whatever the input, the session must end as the protocol says a broken one does: the worker
// logs the failure, ends the connection once and drops the host, and nothing hangs or crashes.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "FuzzLine.h"
#include "Host/PALThreads.h"
#include "Platform/Com.h"
#include "Profiler/Test/TestProfilerClientInfo.h"
#include "Util/Assert.h"
#include "Util/CatchAtEdge.h"
#include "Util/ComponentMask.h"
#include "Util/Log.h"
#include "Util/TempFile.h"
#include "Util/Utf8.h"
#include "WinCE/Bridge.h"
#include "WinCE/PALServices.h"
#include "support/ScriptedMeasureSink.h"

namespace {

// {5A0C9E21-7B3D-4E8F-9A1B-2C3D4E5F6071}
constexpr GUID PROCESS_GUID = {
    0x5A0C9E21, 0x7B3D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};
constexpr const WCHAR* SERVICE_ID = u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";
// The bridge's own lines are logged, so that their texts are built from what the input holds.
constexpr ComponentMask LOG_MASK = ComponentBit(LogComponent::Bridge);
// The log is started afresh when it grows beyond this, so long runs do not fill the disk.
constexpr off_t LOG_LIMIT = 64 * 1024 * 1024;

// The host's threads with short pauses: the command thread idles and acknowledges in 100 ms
// steps, which would make every input take that long.
class QuickPALThreads final : public IPALThreads {
public:
    QuickPALThreads() : m_pThreads(new PALThreads()) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (riid == IID_IUnknown || riid == IID_IPALThreads) {
            *ppvObject = static_cast<IPALThreads*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    // Lives as long as the process.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc pProc, void* pContext, DWORD passValue,
                                           DWORD reserved, PALThreadHandle* phThread) override {
        return m_pThreads->CreateThread(pProc, pContext, passValue, reserved, phThread);
    }
    HRESULT STDMETHODCALLTYPE StartThread(PALThreadHandle hThread) override {
        return m_pThreads->StartThread(hThread);
    }
    HRESULT STDMETHODCALLTYPE CloseThread(PALThreadHandle hThread) override {
        return m_pThreads->CloseThread(hThread);
    }
    HRESULT STDMETHODCALLTYPE Sleep(DWORD milliseconds) override {
        return m_pThreads->Sleep(milliseconds < 1 ? milliseconds : 1);
    }
    HRESULT STDMETHODCALLTYPE GetThreadId(PALThreadHandle hThread, DWORD* pOsThreadId) override {
        return m_pThreads->GetThreadId(hThread, pOsThreadId);
    }
    HRESULT STDMETHODCALLTYPE WaitForThread(PALThreadHandle hThread, DWORD milliseconds) override {
        return m_pThreads->WaitForThread(hThread, milliseconds);
    }

private:
    PALThreads* m_pThreads;
};

// The test kinds' client info (performance settings, measure command processor), telling the line
// where the handshake ends.
class FuzzClientInfo final : public IBridgeClientInfo {
public:
    explicit FuzzClientInfo(FuzzLine& line) : m_Line(line) {}

    const GUID* GetClientGuid() override { return m_Info.GetClientGuid(); }
    std::unique_ptr<CommandProcessor> CreateCommandProcessor(BaseBridge* pBridge,
                                                             IBridgeEvent* pEvent,
                                                             DWORD controlKind,
                                                             DWORD snapshotType) override {
        m_Line.BeginCommands();
        return m_Info.CreateCommandProcessor(pBridge, pEvent, controlKind, snapshotType);
    }
    void ReadSettings(IReadBridgeStream& stream) override { m_Info.ReadSettings(stream); }

private:
    FuzzLine& m_Line;
    TestProfilerClientInfo m_Info;
};

class FuzzSink final : public ScriptedMeasureSink {
public:
    explicit FuzzSink(FuzzLine& line) : m_Line(line) {}

protected:
    void CallEnded() override { m_Line.CallEnded(); }

private:
    FuzzLine& m_Line;
};

void ShortPause(DWORD) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// The text a controller can reach the UTF-8 decoder's two debug assertions with; they are being
// turned into plain decoding elsewhere, so here they are let through. Every other assertion stops
// the run.
void FuzzAssertHandler(const char* condition, const char* file, int line) {
    const bool decoder =
        std::strstr(file, "Utf8.cpp") != nullptr &&
        (std::strcmp(condition, "ch < 0xF0") == 0 || std::strcmp(condition, "res.size()") == 0);
    if (decoder) {
        return;
    }
    std::fprintf(stderr, "Assertion failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

void Fail(const char* what) {
    std::fprintf(stderr, "bridge_fuzz: %s\n", what);
    std::abort();
}

void RunSession(const uint8_t* data, size_t size) {
    FuzzLine line(data, size);
    FuzzSink sink(line);
    FuzzClientInfo info(line);
    Bridge bridge(PROCESS_GUID, SERVICE_ID, &line, &ShortPause);
    sink.SetBridge(&bridge);
    bridge.SetClient(&info, &sink);

    bool connected = LogEdgeFailure([&] { bridge.Connect(); });
    connected = connected && LogEdgeFailure([&] { bridge.ActivateCommands(); });
    line.Open();
    DWORD result = 0;
    if (!line.WaitForServiceEnd(&result)) {
        Fail("the worker did not end after the input was used up");
    }
    if (connected) {
        LogEdgeFailure([&] { bridge.DeactivateCommands(); });
    }
    bridge.Close();

    // The input always ends with the line closing, which the worker reports as a failure.
    if (result != Bridge::ResultFailed) {
        Fail("the worker ended without a failure");
    }
    if (line.CloseStreamCalls() != 1) {
        Fail("the connection was not ended exactly once");
    }
    if (line.References() != 0) {
        Fail("the host reference was not dropped");
    }
}

// Commands may have changed the log's components; the next input starts with the first mask.
void ResetLog() {
    for (const LogComponentInfo& info : LOG_COMPONENTS) {
        if (Log::IsEnabled(info.component) != ((LOG_MASK & ComponentBit(info.component)) != 0)) {
            Log::Update(LOG_MASK, ~LOG_MASK);
            break;
        }
    }
    static unsigned runs = 0;
    if (++runs % 1024 != 0) {
        return;
    }
    const std::string path = ToUtf8(Log::GetFilePath());
    struct stat status {};
    if (!path.empty() && stat(path.c_str(), &status) == 0 && status.st_size > LOG_LIMIT) {
        Log::Finish();
        std::remove(path.c_str());
        Log::Initialize(LOG_MASK);
    }
}

char g_LogDirectory[] = "/tmp/qv-bridge-fuzz-XXXXXX";

void RemoveLog() {
    const std::string path = ToUtf8(Log::GetFilePath());
    Log::Finish();
    std::remove(path.c_str());
    rmdir(g_LogDirectory);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Util::SetAssertHandler(&FuzzAssertHandler);
    if (mkdtemp(g_LogDirectory) == nullptr) {
        Fail("can't make a temporary directory for the log");
    }
    SetTempDirectory(FromUtf8(g_LogDirectory).c_str());
    Log::Initialize(LOG_MASK);
    std::atexit(&RemoveLog);
    // Held here as well, so that it stays reachable after the module-wide reference is gone.
    static QuickPALThreads* pThreads = new QuickPALThreads();
    g_pPALThreads = pThreads;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RunSession(data, size);
    ResetLog();
    return 0;
}
