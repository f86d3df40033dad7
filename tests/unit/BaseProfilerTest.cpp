#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "Platform/Format.h"
#include "Profiler/BaseProfiler.h"
#include "support/BridgeHarness.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/ScopedLog.h"
#include "support/TestRuntime.h"

namespace {

using namespace std::chrono_literals;

constexpr BYTE IDLE = 0xFF;
constexpr DWORD ProbeEventMask = 0x204;
constexpr DWORD ProbeSnapshotType = 0x42425151;
constexpr GUID ProbeSequence = {
    0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01}};

// A profiler kind that notes which of its own operations ran, in order, with the snapshot index
// each snapshot hook saw.
class ProbeProfiler : public BaseProfiler {
public:
    ProbeProfiler(LONG* pTotalRef, Bridge* pBridge, bool* pDestroyed = nullptr)
        : BaseProfiler(pTotalRef, pBridge), m_pDestroyed(pDestroyed) {}
    std::vector<std::string> m_Hooks;

protected:
    ~ProbeProfiler() override {
        if (m_pDestroyed != nullptr) {
            *m_pDestroyed = true;
        }
    }
    DWORD GetEventMask() override { return ProbeEventMask; }
    void OnBeginInitialize() override { m_Hooks.push_back("OnBeginInitialize"); }
    void OnEndInitialize() override { m_Hooks.push_back("OnEndInitialize"); }
    void OnBeginShutdown() override { m_Hooks.push_back("OnBeginShutdown"); }
    void OnEndShutdown() override { m_Hooks.push_back("OnEndShutdown"); }
    DWORD GetSnapshotType() override { return ProbeSnapshotType; }
    DWORD GenerateSnapshotSequenceGuid(GUID* pSequence) override {
        *pSequence = ProbeSequence;
        return 7;
    }
    void OnSnapshotSaved() override { Note("OnSnapshotSaved"); }
    void WriteSnapshotHeader(ISnapShotStorage&) override { Note("WriteSnapshotHeader"); }
    void WriteSnapshotData(ISnapShotStorage&) override { Note("WriteSnapshotData"); }
    void DropSnapshotData() override { Note("DropSnapshotData"); }

private:
    void Note(const char* pHook) {
        m_Hooks.push_back(std::string(pHook) + " " + std::to_string(GetSnapshotIndex()));
    }
    bool* m_pDestroyed;
};

// The log's texts after the record, without the thread prefix (bridge lines come from other
// threads, so the prefix is cut at its fixed length).
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

std::string PointerText(UINT_PTR value) {
    char buffer[32];
    Platform::Format(buffer, sizeof buffer, "%p", reinterpret_cast<void*>(value));
    return buffer;
}

// A profiler over the harness's bridge, initialised by a scripted runtime while the test plays
// the controller's handshake; Release at the end.
class BaseProfilerTest : public testing::Test {
protected:
    BaseProfilerTest() : m_pProfiler(new ProbeProfiler(&m_TotalRef, &m_Harness.GetBridge())) {}
    ~BaseProfilerTest() override {
        if (m_pProfiler != nullptr) {
            m_pProfiler->Release();
        }
    }

    // Initialize plays the handshake; afterwards the test keeps sending Idle, so that a failed
    // Initialize, which closes the bridge, sees its worker stop.
    HRESULT InitializeConnected(const HandshakeAnswers& answers = HandshakeAnswers()) {
        auto initializing = std::async(
            std::launch::async, [this] { return m_Runtime.InitializeProfiler(m_pProfiler); });
        PlayControllerHandshake(m_Harness.Line().Controller(), answers);
        return KeepIdling(initializing);
    }
    HRESULT KeepIdling(std::future<HRESULT>& running) {
        const auto deadline = std::chrono::steady_clock::now() + BridgeLine::Patience;
        while (running.wait_for(10ms) != std::future_status::ready) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "call did not return";
                m_Harness.Line().Hangup();
                break;
            }
            m_Harness.Line().Send({IDLE});
        }
        return running.get();
    }
    HRESULT ShutdownConnected() {
        auto shutting =
            std::async(std::launch::async, [this] { return m_Runtime.ShutdownProfiler(); });
        return KeepIdling(shutting);
    }
    ScopedLog m_Log{ComponentBit(LogComponent::ThreadCb)};
    BridgeHarness m_Harness;
    TestRuntime m_Runtime;
    LONG m_TotalRef = 0;
    ProbeProfiler* m_pProfiler;
};

TEST_F(BaseProfilerTest, QueryInterfaceAnswersCallbackInterfacesAndCountsReferences) {
    EXPECT_EQ(m_pProfiler->GetReferenceCount(), 1);
    EXPECT_EQ(m_TotalRef, 1);
    for (const IID& iid : {IID_ICorProfilerCallback2, IID_ICorProfilerCallback, IID_IUnknown}) {
        void* pInterface = nullptr;
        EXPECT_EQ(m_pProfiler->QueryInterface(iid, &pInterface), S_OK);
        EXPECT_EQ(pInterface, static_cast<ICorProfilerCallback2*>(m_pProfiler));
    }
    EXPECT_EQ(m_pProfiler->GetReferenceCount(), 4);
    EXPECT_EQ(m_TotalRef, 4);
    void* pInterface = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(m_pProfiler->QueryInterface(IID_ICorProfilerCallback3, &pInterface), E_NOINTERFACE);
    EXPECT_EQ(pInterface, nullptr);
    EXPECT_EQ(m_pProfiler->GetReferenceCount(), 4);
    EXPECT_EQ(m_pProfiler->Release(), 3u);
    EXPECT_EQ(m_pProfiler->Release(), 2u);
    EXPECT_EQ(m_pProfiler->Release(), 1u);
    EXPECT_EQ(m_TotalRef, 1);
    const auto texts = LogTexts();
    for (const char* pAnswer : {"{8A8CC829-CCF2-49FE-BBAE-0F022228071A} result=ok",
                                "{176FBED1-A55C-4796-98CA-A9DA0EF883E7} result=ok",
                                "{00000000-0000-0000-C000-000000000046} result=ok",
                                "{4FD2ED52-7731-4B8D-9469-03D2CC3086C5} result=no_interface"}) {
        EXPECT_TRUE(Contains(texts, std::string("BProf::QueryInterface iid=") + pAnswer));
    }
}

TEST(BaseProfilerLifetime, LastReleaseDestroysAndKeepsTheKindTotal) {
    LONG total = 5;  // other objects of the kind
    bool destroyed = false;
    auto* pProfiler = new ProbeProfiler(&total, nullptr, &destroyed);
    EXPECT_EQ(total, 6);
    EXPECT_EQ(pProfiler->AddRef(), 2u);
    EXPECT_EQ(pProfiler->Release(), 1u);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(pProfiler->Release(), 0u);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(total, 5);
}

TEST_F(BaseProfilerTest, InitializeWithoutInformationInterfaceFailsAndHoldsNothing) {
    m_Runtime.OfferInfoUpTo(0);
    EXPECT_EQ(m_Runtime.InitializeProfiler(m_pProfiler), E_FAIL);
    EXPECT_TRUE(m_pProfiler->m_Hooks.empty());
    EXPECT_EQ(m_Runtime.References(), 0u);
    EXPECT_EQ(m_Harness.m_PALTools.ServiceId(), u"");  // never connected
    EXPECT_TRUE(Contains(LogTexts(), "ERROR: Can't query ICorProfilerInfo interface"));
}

TEST_F(BaseProfilerTest, InitializeAndShutdownRunTheKindHooksAroundTheCommands) {
    ASSERT_EQ(InitializeConnected(), S_OK);
    EXPECT_EQ(m_Runtime.EventMask(), ProbeEventMask);
    EXPECT_EQ(m_pProfiler->m_Hooks,
              (std::vector<std::string>{"OnBeginInitialize", "OnEndInitialize"}));
    ASSERT_NE(m_Harness.Processor(), nullptr);
    EXPECT_EQ(m_Harness.Processor()->m_EnableCalls.load(), 1);
    EXPECT_GT(m_Runtime.References(), 0u);
    EXPECT_EQ(ShutdownConnected(), S_OK);
    EXPECT_EQ(m_pProfiler->m_Hooks,
              (std::vector<std::string>{"OnBeginInitialize", "OnEndInitialize", "OnBeginShutdown",
                                        "OnEndShutdown"}));
    EXPECT_EQ(m_Runtime.References(), 0u);
    EXPECT_EQ(m_Harness.GetBridge().GetControl(), nullptr);  // bridge closed
    const auto texts = LogTexts();
    EXPECT_TRUE(
        Contains(texts, "BProf::Initialize memoryThreshold=" + std::to_string(MemoryThreshold)));
    const auto shutdown = std::find(texts.begin(), texts.end(), "BProf::Shutdown");
    const auto done = std::find(texts.begin(), texts.end(), "BProf::Shutdown Done");
    EXPECT_NE(shutdown, texts.end());
    EXPECT_NE(done, texts.end());
    EXPECT_LT(shutdown, done);
}

TEST_F(BaseProfilerTest, RefusedEventMaskFailsInitializeAndReleasesEverything) {
    m_Runtime.Fail(TestRuntime::Operation::SetEventMask, E_FAIL);
    EXPECT_EQ(InitializeConnected(), E_FAIL);
    EXPECT_TRUE(m_pProfiler->m_Hooks.empty());
    EXPECT_EQ(m_Runtime.References(), 0u);
    EXPECT_EQ(m_Harness.GetBridge().GetControl(), nullptr);
    EXPECT_TRUE(Contains(LogTexts(), "ERROR: Can't set event mask (COM error code 0x80004005)"));
}

// A runtime module that is loaded but cannot be read.
Platform::ModuleHandle FindAnyModule(const WString&) {
    return reinterpret_cast<Platform::ModuleHandle>(0x1000);
}
bool FileNameFails(Platform::ModuleHandle, WString*) {
    return false;
}
bool FileNameWorks(Platform::ModuleHandle, WString* pPath) {
    *pPath = u"/usr/share/dotnet/shared/Microsoft.NETCore.App/8.0.1/libcoreclr.so";
    return true;
}
bool VersionFails(Platform::ModuleHandle, Platform::FileVersion*) {
    return false;
}

class ScopedModuleLookup {
public:
    explicit ScopedModuleLookup(const BaseProfiler::ModuleLookup& lookup)
        : m_pPrevious(BaseProfiler::SetModuleLookup(&lookup)) {}
    ~ScopedModuleLookup() { BaseProfiler::SetModuleLookup(m_pPrevious); }

private:
    const BaseProfiler::ModuleLookup* m_pPrevious;
};

TEST_F(BaseProfilerTest, UnreadableRuntimeModuleFailsInitialize) {
    const BaseProfiler::ModuleLookup noFileName = {&FindAnyModule, &FileNameFails, &VersionFails};
    ScopedModuleLookup lookup(noFileName);
    EXPECT_EQ(InitializeConnected(), E_FAIL);
    EXPECT_TRUE(m_pProfiler->m_Hooks.empty());
    EXPECT_EQ(m_Runtime.References(), 0u);
    EXPECT_TRUE(Contains(LogTexts(), "ERROR: Can't get module filename"));
}

TEST_F(BaseProfilerTest, RuntimeWithoutReportedVersionNeedsTheModuleVersion) {
    m_Runtime.OfferInfoUpTo(2);  // no runtime information to ask
    const BaseProfiler::ModuleLookup noVersion = {&FindAnyModule, &FileNameWorks, &VersionFails};
    ScopedModuleLookup lookup(noVersion);
    EXPECT_EQ(InitializeConnected(), E_FAIL);
    EXPECT_TRUE(Contains(LogTexts(), "ERROR: Can't get module version"));
    EXPECT_EQ(m_Runtime.References(), 0u);
}

TEST_F(BaseProfilerTest, SnapshotIndexCountsClosedSnapshots) {
    HandshakeAnswers answers;
    answers.m_SnapshotType = 0;  // files on the device: no controller replies needed
    ASSERT_EQ(InitializeConnected(answers), S_OK);
    m_pProfiler->m_Hooks.clear();
    EXPECT_EQ(ErrorText([&] { m_pProfiler->CloseSnapshot(); }), "Snapshot was not opened");
    m_pProfiler->CreateSnapshot();
    EXPECT_TRUE(m_pProfiler->IsSnapshotOpen());
    EXPECT_EQ(ErrorText([&] { m_pProfiler->CreateSnapshot(); }), "Can't create snapshot twice");
    m_pProfiler->CloseSnapshot();
    EXPECT_FALSE(m_pProfiler->IsSnapshotOpen());
    EXPECT_EQ(m_pProfiler->GetSnapshotIndex(), 1u);
    m_pProfiler->CreateSnapshot();
    m_pProfiler->DropSnapshot();
    EXPECT_EQ(m_pProfiler->GetSnapshotIndex(), 1u);
    EXPECT_EQ(m_pProfiler->m_Hooks,
              (std::vector<std::string>{"WriteSnapshotHeader 0", "WriteSnapshotData 0",
                                        "OnSnapshotSaved 0", "WriteSnapshotHeader 1",
                                        "DropSnapshotData 1"}));
    EXPECT_EQ(ShutdownConnected(), S_OK);
}

TEST_F(BaseProfilerTest, UnhandledCallbacksLogUnderTheirComponentAndAnswerNotImplemented) {
    const UINT_PTR threadId = static_cast<UINT_PTR>(0x12345678);
    EXPECT_EQ(m_pProfiler->ThreadCreated(threadId), E_NOTIMPL);
    EXPECT_EQ(m_pProfiler->ThreadAssignedToOSThread(threadId, 0x4D2), E_NOTIMPL);
    EXPECT_EQ(m_pProfiler->ModuleLoadStarted(0x99), E_NOTIMPL);  // component off: no line
    EXPECT_EQ(m_pProfiler->GarbageCollectionFinished(), E_NOTIMPL);
    const auto texts = LogTexts();
    EXPECT_EQ(texts,
              (std::vector<std::string>{
                  "BProf::ThreadCreated tid=" + PointerText(threadId),
                  "BProf::ThreadAssignedToOSThread tid=" + PointerText(threadId) + " osid=000004D2",
              }));
}

}  // namespace
