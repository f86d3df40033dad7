#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Host/PALThreads.h"
#include "Platform/Com.h"
#include "Platform/Format.h"
#include "Profiler/Memory/IMemoryApi.h"
#include "Profiler/Performance/IPerformanceApi.h"
#include "Profiler/Test/TestProfiler.h"
#include "Profiler/Test/TestProfilerClientInfo.h"
#include "Util/Log.h"
#include "Util/TempFile.h"
#include "Util/Utf8.h"
#include "WinCE/Exports.h"
#include "WinCE/LoadService.h"
#include "WinCE/PALServices.h"
#include "WinCE/ProcessAttach.h"
#include "WinCE/ProfilerFactories.h"
#include "support/FakePALTools.h"
#include "support/LogFileLines.h"
#include "support/ScopedLog.h"
#include "support/ScopedRegistryFile.h"
#include "support/TestRuntime.h"

namespace {

using namespace std::chrono_literals;

constexpr BYTE IDLE = 0xFF;
constexpr BYTE START = 0x10;
constexpr HRESULT LOAD_FAILED = MakeHResult(0x80000000);
constexpr const WCHAR* TestKindOneService = u"{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}";

// The host's hand-over point: keeps the callback it is given and answers with a chosen status.
class FakeProfilerHost : public IPALProfilerHost {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppvObject) override {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_References; }
    HRESULT STDMETHODCALLTYPE SetProfilerCallback(ICorProfilerCallback2* pCallback) override {
        m_pCallback = pCallback;
        return m_Status;
    }
    HRESULT m_Status = S_OK;
    ComRef<ICorProfilerCallback2> m_pCallback;
    ULONG m_References = 0;
};

// The host object handed to a load entry point: answers for the services it was given.
class FakeHost : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        IUnknown* pAnswer = nullptr;
        if (IsEqualGUID(riid, IID_IPALThreads)) {
            pAnswer = m_pThreads;
        } else if (IsEqualGUID(riid, IID_IPALTools)) {
            pAnswer = m_pTools;
        } else if (IsEqualGUID(riid, IID_IPALProfilerHost)) {
            pAnswer = m_pProfilerHost;
        } else if (IsEqualGUID(riid, IID_IUnknown)) {
            pAnswer = this;
        }
        *ppvObject = pAnswer;
        if (pAnswer == nullptr) {
            return E_NOINTERFACE;
        }
        pAnswer->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    IPALThreads* m_pThreads = nullptr;
    IPALTools* m_pTools = nullptr;
    IPALProfilerHost* m_pProfilerHost = nullptr;
};

std::vector<std::string> LogTexts() {
    const size_t prefixLength = LogLinePrefix().size();
    std::vector<std::string> texts;
    for (const std::string& line : ReadLogLinesAfterRecord()) {
        texts.push_back(line.size() > prefixLength ? line.substr(prefixLength) : line);
    }
    return texts;
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

bool ContainsPrefix(const std::vector<std::string>& texts, const std::string& prefix) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& text) { return text.rfind(prefix, 0) == 0; });
}

// Waits for a log line starting with `prefix`, written by another thread.
bool WaitForLogLine(const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + BridgeLine::Patience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ContainsPrefix(LogTexts(), prefix)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string PointerText(UINT_PTR value) {
    char buffer[32];
    Platform::Format(buffer, sizeof buffer, "%p", reinterpret_cast<void*>(value));
    return buffer;
}

// The identity process attach makes; bridges refuse a null one.
void EnsureProcessIdentity() {
    if (IsEqualGUID(g_ProcessGuid, GUID_NULL)) {
        ASSERT_EQ(CoCreateGuid(&g_ProcessGuid), S_OK);
    }
}

bool HoldsNoHostReference() {
    return !g_pPALThreads && !g_pPALTools && !g_pPALProfilerHost &&
           GetLoadedProfilerCallback() == nullptr;
}

std::string ComErrorText(HRESULT hr) {
    return ToUtf8(_com_error(hr).ErrorMessage());
}

TEST(LoadService, UnknownCommandFailsAndDropsEveryHostReference) {
    ScopedLog log(0);
    EnsureProcessIdentity();
    FakePALTools tools;
    FakeProfilerHost profilerHost;
    FakeHost host;
    host.m_pTools = &tools;
    host.m_pProfilerHost = &profilerHost;
    ASSERT_EQ(InitializeProfiler_D37A1B78_7DC4_46FD_BC31_F7C4D5A11C9C(0, &host), S_OK);
    EXPECT_NE(profilerHost.m_pCallback.Get(), nullptr);
    EXPECT_EQ(GetLoadedProfilerCallback(), profilerHost.m_pCallback.Get());
    EXPECT_GT(profilerHost.m_References, 0u);
    EXPECT_EQ(InitializeProfiler_D37A1B78_7DC4_46FD_BC31_F7C4D5A11C9C(2, &host), LOAD_FAILED);
    EXPECT_TRUE(HoldsNoHostReference());
    EXPECT_EQ(profilerHost.m_References, 0u);
    EXPECT_EQ(tools.References(), 1u);  // the bridge's own, until it closes
    EXPECT_TRUE(Contains(LogTexts(), "ERROR: Invalid PAL load service command"));
}

TEST(LoadService, UnloadWithoutLoadFailsWithInvalidPointer) {
    ScopedLog log(0);
    EnsureProcessIdentity();
    FakeHost host;
    EXPECT_EQ(InitializeProfiler_D37A1B78_7DC5_46FD_BC31_F7C4D5A11C9C(1, &host), LOAD_FAILED);
    EXPECT_TRUE(HoldsNoHostReference());
    EXPECT_TRUE(Contains(LogTexts(), "ERROR: " + ComErrorText(E_POINTER)));
}

TEST(LoadService, HostWithoutServicesStillCreatesTheProfilerButFails) {
    ScopedLog log(0);
    EnsureProcessIdentity();
    FakeHost host;  // offers none of the three services
    const LONG before = GetProfilerTotalReferences(ProfilerKindIndex::Test3);
    EXPECT_EQ(InitializeProfiler_D37A1B78_7DC5_46FD_BC31_F7C4D5A11C9C(0, &host), LOAD_FAILED);
    EXPECT_TRUE(HoldsNoHostReference());
    // Only the construction reference is left.
    EXPECT_EQ(GetProfilerTotalReferences(ProfilerKindIndex::Test3), before + 1);
    EXPECT_TRUE(Contains(LogTexts(), "ERROR: " + ComErrorText(E_POINTER)));
}

TEST(LoadService, RefusedCallbackRegistrationFails) {
    ScopedLog log(0);
    EnsureProcessIdentity();
    FakePALTools tools;
    FakeProfilerHost profilerHost;
    profilerHost.m_Status = E_ACCESSDENIED;
    FakeHost host;
    host.m_pTools = &tools;
    host.m_pProfilerHost = &profilerHost;
    EXPECT_EQ(InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C(0, &host), LOAD_FAILED);
    EXPECT_TRUE(HoldsNoHostReference());
    EXPECT_TRUE(
        Contains(LogTexts(), "ERROR: Can't set profiler callback (COM error code 0x80070005)"));
}

// The controller's side of a performance client's handshake, with a settings message carrying
// one filter record of each list.
void PlayPerformanceHandshake(IBridgeStream& controller, GUID* pClient) {
    ReadGuid(controller);
    WriteBool(controller, true);
    *pClient = ReadGuid(controller);
    ReadGuid(controller);
    ReadWideString(controller);
    ReadU32(controller);
    ReadWideString(controller);
    for (WORD count = ReadU16(controller); count != 0; --count) {
        ReadWideString(controller);
    }
    WriteBool(controller, true);  // accepted
    WriteU8(controller, 1);       // bridge stream
    WriteU8(controller, 0);       // manual control
    WriteU8(controller, 0);       // no named flags
    WriteString(controller, std::string_view("controller"));
    WriteBool(controller, true);
    WriteBool(controller, false);
    WriteU8(controller, 2);
    WriteBool(controller, false);
    WriteBool(controller, true);
    WriteU32(controller, 0x11);
    WriteString(controller, std::u16string_view(u"flt"));
    for (int list = 0; list < 2; ++list) {
        WriteCounter(controller, 1);
        for (const char16_t* pText : {u"a", u"b", u"c"}) {
            WriteString(controller, std::u16string_view(pText));
        }
    }
    WriteBool(controller, true);  // run
}

// Runs fn while sending Idle, so that a closing bridge's worker sees the stop request.
HRESULT KeepIdling(BridgeLine& line, std::future<HRESULT>& running) {
    const auto deadline = std::chrono::steady_clock::now() + BridgeLine::Patience;
    while (running.wait_for(10ms) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "call did not return";
            line.Hangup();
            break;
        }
        line.Send({IDLE});
    }
    return running.get();
}

TEST(TestProfilerKind, LoadsRunsLogsCallbacksAndUnloads) {
    ScopedLog log(ComponentBit(LogComponent::ModuleCb) | ComponentBit(LogComponent::ThreadCb) |
                  ComponentBit(LogComponent::Api));
    EnsureProcessIdentity();
    FakePALTools tools;
    FakeProfilerHost profilerHost;
    auto* pThreads = new PALThreads();
    FakeHost host;
    host.m_pThreads = pThreads;
    host.m_pTools = &tools;
    host.m_pProfilerHost = &profilerHost;
    ASSERT_EQ(InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C(0, &host), S_OK);
    ICorProfilerCallback2* pCallback = profilerHost.m_pCallback.Get();
    ASSERT_NE(pCallback, nullptr);
    {
        TestRuntime runtime;
        auto initializing =
            std::async(std::launch::async, [&] { return runtime.InitializeProfiler(pCallback); });
        GUID client = GUID_NULL;
        PlayPerformanceHandshake(tools.Line().Controller(), &client);
        ASSERT_EQ(initializing.wait_for(BridgeLine::Patience), std::future_status::ready);
        ASSERT_EQ(initializing.get(), S_OK);
        EXPECT_TRUE(IsEqualGUID(client, TestProfilerClientInfo::ClientGuid));
        EXPECT_EQ(tools.ServiceId(), TestKindOneService);
        EXPECT_EQ(runtime.EventMask(), TestProfiler::EventMask);
        const ModuleID module = runtime.LoadModule({u"/opt/app/Sample.dll", 0x10000, 0x77});
        const ThreadID thread = runtime.StartThreadHere();
        runtime.EndThreadHere(thread);
        EXPECT_TRUE(runtime.FailedCallbacks().empty());
        tools.Line().Send({START});
        EXPECT_TRUE(WaitForLogLine("TProf::BridgeStart"));
        auto unloading = std::async(std::launch::async, [&] {
            return InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C(1, &host);
        });
        EXPECT_EQ(KeepIdling(tools.Line(), unloading), S_OK);
        EXPECT_TRUE(HoldsNoHostReference());
        EXPECT_EQ(tools.References(), 0u);
        EXPECT_EQ(runtime.References(), 0u);
        const auto texts = LogTexts();
        EXPECT_TRUE(ContainsPrefix(texts,
                                   "TProf::ReadSettings start=1 inlining=0 measure=2 "
                                   "threads=0 precision=1 filter=00000011 text='flt' "
                                   "filters=1/1"));
        EXPECT_TRUE(Contains(texts, "TProf::ModuleLoadStarted mid=" + PointerText(module)));
        EXPECT_TRUE(Contains(texts, "TProf::ModuleLoadFinished mid=" + PointerText(module) +
                                        " hr=00000000 name='/opt/app/Sample.dll'"));
        EXPECT_TRUE(Contains(texts, "TProf::ThreadCreated tid=" + PointerText(thread)));
        EXPECT_TRUE(ContainsPrefix(
            texts, "TProf::ThreadAssignedToOSThread tid=" + PointerText(thread) + " osid="));
        EXPECT_TRUE(Contains(texts, "TProf::ThreadDestroyed tid=" + PointerText(thread)));
        EXPECT_TRUE(Contains(texts, "BProf::Shutdown Done"));
    }
    profilerHost.m_pCallback = nullptr;
    pThreads->Release();
}

// An API that answers each slot with its own code and notes the group name.
class ProbePerformanceApi : public IPerformanceApi {
public:
    DWORD ApiIsActive() override { return 0; }
    DWORD ApiBegin() override { return 0x101; }
    DWORD ApiBeginGroup(const WCHAR* pName) override {
        m_Group = pName;
        return 0x102;
    }
    DWORD ApiEndGroup() override { return 0x103; }
    DWORD ApiStart() override { return 0x104; }
    DWORD ApiStop() override { return 0x105; }
    DWORD ApiEndDrop() override { return 0x106; }
    DWORD ApiEndSave() override { return 0x107; }
    WString m_Group;
};

class ProbeMemoryApi : public IMemoryApi {
public:
    DWORD IsActive() override { return 0; }
    DWORD ApiForceGC() override { return 0x201; }
    DWORD ApiDump() override { return 0x202; }
};

// Without a profiler each export logs its name (Api component), IsActive answers 1 and the others
// fail with "No profiler detected"; with one, each forwards to its own slot.
TEST(ApiExports, AnswerForAMissingProfilerAndForwardToThePresentOne) {
    struct Export {
        const char* pName;
        DWORD (*call)();
        DWORD forwarded;
    };
    const Export exports[] = {
        {"PerformanceProfiler_IsActive", PerformanceProfiler_IsActive, 0},
        {"PerformanceProfiler_Begin", PerformanceProfiler_Begin, 0x101},
        {"PerformanceProfiler_BeginGroup", [] { return PerformanceProfiler_BeginGroup(u"g"); },
         0x102},
        {"PerformanceProfiler_EndGroup", PerformanceProfiler_EndGroup, 0x103},
        {"PerformanceProfiler_Start", PerformanceProfiler_Start, 0x104},
        {"PerformanceProfiler_Stop", PerformanceProfiler_Stop, 0x105},
        {"PerformanceProfiler_EndDrop", PerformanceProfiler_EndDrop, 0x106},
        {"PerformanceProfiler_EndSave", PerformanceProfiler_EndSave, 0x107},
        {"MemoryProfiler_IsActive", MemoryProfiler_IsActive, 0},
        {"MemoryProfiler_ForceGC", MemoryProfiler_ForceGC, 0x201},
        {"MemoryProfiler_Dump", MemoryProfiler_Dump, 0x202},
    };
    {
        ScopedLog log(ComponentBit(LogComponent::Api));
        ASSERT_EQ(g_pApi.load(), nullptr);
        ASSERT_EQ(g_pMemoryApi.load(), nullptr);
        std::vector<std::string> expected;
        for (const Export& e : exports) {
            const bool isActive = e.forwarded == 0;
            EXPECT_EQ(e.call(), isActive ? 1u : 0x80000001u) << e.pName;
            expected.push_back(e.pName);
            if (!isActive) {
                expected.push_back("ERROR: No profiler detected");
            }
        }
        EXPECT_EQ(LogTexts(), expected);
    }
    ScopedLog log(0);
    ProbePerformanceApi performance;
    ProbeMemoryApi memory;
    g_pApi = &performance;
    g_pMemoryApi = &memory;
    for (const Export& e : exports) {
        EXPECT_EQ(e.call(), e.forwarded) << e.pName;
    }
    EXPECT_EQ(performance.m_Group, u"g");
    g_pApi = nullptr;
    g_pMemoryApi = nullptr;
    EXPECT_TRUE(LogTexts().empty());  // the Api component is off
}

TEST(ProcessAttach, OpensTheLogInTheConfiguredDirectoryAndLogsTheIdentity) {
    ScratchDirectory directory;
    ScopedRegistryFile registry(
        "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
        "\"QUORVELAN_PROFILER_TEMP\"=\"" +
        directory.Path().string() +
        "\"\n"
        "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000000\n"
        "\"QUORVELAN_PROFILER_ATTACH\"=dword:00000007\n");
    const GUID before = g_ProcessGuid;
    const DWORD showBefore = g_ShowAttachMessage;
    ASSERT_TRUE(ProcessAttach());
    EXPECT_FALSE(IsEqualGUID(g_ProcessGuid, GUID_NULL));
    EXPECT_FALSE(IsEqualGUID(g_ProcessGuid, before));
    EXPECT_EQ(g_ShowAttachMessage, 7u);
    EXPECT_EQ(ToUtf8(GetTempDirectory()), directory.Path().string());
    const std::string logPath = ToUtf8(Log::GetFilePath());
    EXPECT_EQ(logPath.rfind(directory.Path().string(), 0), 0u) << logPath;
    EXPECT_EQ(LogTexts(),
              (std::vector<std::string>{"ProcessGuid=" + Platform::GuidToString(g_ProcessGuid)}));
    ProcessDetach();
    EXPECT_TRUE(Log::GetFilePath().empty());
    EXPECT_NE(ToUtf8(GetTempDirectory()), directory.Path().string());
    g_ShowAttachMessage = showBefore;
}

TEST(ProcessAttach, WithoutSettingsMakesTheIdentityButNoLog) {
    ScopedRegistryFile registry("");
    const GUID before = g_ProcessGuid;
    ASSERT_TRUE(ProcessAttach());
    EXPECT_FALSE(IsEqualGUID(g_ProcessGuid, before));
    EXPECT_TRUE(Log::GetFilePath().empty());
    ProcessDetach();
}

}  // namespace
