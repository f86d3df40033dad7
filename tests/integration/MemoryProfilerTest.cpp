// The memory profiler kind over a real bridge to the controller's Session, driven by the test
// runtime: start-up, the dump sequence across a forced collection, allocation sampling, both
// control kinds with the exported API, and the error states.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Controller/Session.h"
#include "Host/PALThreads.h"
#include "Host/PALTools.h"
#include "Profiler/Memory/MemoryProfiler.h"
#include "WinCE/Bridge.h"
#include "WinCE/Exports.h"
#include "support/ErrorText.h"
#include "support/ScopedLog.h"
#include "support/ScopedPALThreads.h"
#include "support/TestRuntime.h"

using Controller::ControllerEvent;
using Controller::EventKind;
using Controller::Session;
using Controller::SessionOptions;
using Operation = TestRuntime::Operation;

namespace {

constexpr DWORD Patience = 30000;
constexpr GUID ProcessGuid = {
    0x6B1D0F32, 0x8C4E, 0x4F90, {0xAB, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71, 0x82}};
constexpr mdToken TdNode = 0x02000002;
constexpr mdToken FdNext = 0x04000001;
constexpr ULONG P = sizeof(void*);

class MemoryProfilerTest : public testing::Test {
protected:
    ~MemoryProfilerTest() override { m_pThreads->Release(); }

    // Connects a memory profiler to a fresh Session and initialises it.
    void Start(SessionOptions options) {
        options.idleInterval = 50;
        m_pSession = std::make_unique<Session>(std::move(options));
        const std::string address = "127.0.0.1:" + std::to_string(m_pSession->Listen(0));
        setenv(PALTools::AddressVariable, address.c_str(), 1);
        m_pTools = new PALTools();
        m_pBridge = std::make_unique<Bridge>(ProcessGuid, u"{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}",
                                             m_pTools);
        m_pProfiler = new MemoryProfiler(&m_TotalRef, m_pBridge.get());
        auto accepting = std::async(std::launch::async, [this] {
            return ErrorText([this] { m_pSession->Accept(Patience); });
        });
        ASSERT_EQ(m_Runtime.InitializeProfiler(m_pProfiler), S_OK);
        ASSERT_EQ(accepting.get(), "(nothing raised)");
        // A module without file: metadata index 0.
        m_Module = m_Runtime.LoadModule({u"", 0x1000, 0x2000});
    }

    void TearDown() override {
        if (m_pProfiler != nullptr) {
            EXPECT_EQ(m_Runtime.ShutdownProfiler(), S_OK);
            m_pProfiler->Release();
        }
        m_pBridge.reset();
        if (m_pTools != nullptr) {
            EXPECT_TRUE(m_pTools->WaitForServices(Patience));
            m_pTools->Release();
        }
        if (m_pSession != nullptr) {
            m_pSession->Close();
        }
        unsetenv(PALTools::AddressVariable);
    }

    // A list of three nodes held by a static root, in a module whose metadata the runtime gives.
    void BuildList() {
        TestMetaDataImport& metaData = m_Runtime.MetaDataOf(m_Module);
        metaData.m_TypeDefs = {{TdNode, {u"Node", 0}}};
        metaData.m_FieldSignatures = {{FdNext, {0x06, 0x12, 0x08}}};
        m_Node = m_Runtime.AddClass(m_Module, TdNode);
        m_Runtime.SetClassLayout(m_Node, {{FdNext, P}}, 2 * P);
        for (ObjectID& node : m_List) {
            node = m_Runtime.AddObject(m_Node, 3 * P);
        }
        m_Runtime.SetReference(m_List[0], P, m_List[1]);
        m_Runtime.SetReference(m_List[1], P, m_List[2]);
        m_Runtime.AddRoot({m_List[0], COR_PRF_GC_ROOT_OTHER, COR_PRF_GC_ROOT_FLAGS(0), 0});
    }

    std::optional<ControllerEvent> WaitFor(EventKind kind) {
        return m_pSession->WaitFor(kind, Patience);
    }
    std::shared_ptr<const Controller::Snapshot> NextSnapshot() {
        auto event = WaitFor(EventKind::Snapshot);
        return event ? event->snapshot : nullptr;
    }
    static size_t CountSections(const Controller::Snapshot& snapshot, WORD type) {
        size_t count = 0;
        for (const auto& section : snapshot.sections) {
            count += section.type == type;
        }
        return count;
    }
    // The error and warning texts the controller was told of, until none comes for a while.
    std::vector<std::string> Notifications(DWORD milliseconds = 500) {
        std::vector<std::string> texts;
        while (auto event = m_pSession->WaitFor(EventKind::LogNotification, milliseconds)) {
            texts.push_back(event->text);
        }
        return texts;
    }

    ScopedLog m_Log{0};
    PALThreads* m_pThreads = new PALThreads();
    ScopedPALThreads m_Threads{m_pThreads};
    TestRuntime m_Runtime;
    std::unique_ptr<Session> m_pSession;
    PALTools* m_pTools = nullptr;
    std::unique_ptr<Bridge> m_pBridge;
    LONG m_TotalRef = 0;
    MemoryProfiler* m_pProfiler = nullptr;
    ModuleID m_Module = 0;
    ClassID m_Node = 0;
    ObjectID m_List[3] = {};
};

SessionOptions Options(uint8_t controlKind, bool snapshotAtStart, uint32_t factor = 0) {
    SessionOptions options;
    options.controlKind = controlKind;
    options.memory.snapshotAtStart = snapshotAtStart;
    options.memory.allocationsFactor = factor;
    return options;
}

TEST_F(MemoryProfilerTest, DumpCommandTakesTheCollectionsObjectsAndReopensTheSnapshot) {
    Start(Options(Controller::ControlKindManual, true));
    ASSERT_TRUE(WaitFor(EventKind::Done)) << "no Done after initialisation";
    EXPECT_EQ(m_Runtime.EventMask(), MemoryProfiler::BaseEventMask) << "until the first collection";
    BuildList();
    auto walked = [this] {
        size_t reports = 0;
        for (const auto& result : m_Runtime.CallbackResults()) {
            reports += std::string(result.pName) == "ObjectReferences";
        }
        return reports;
    };
    // After the first collection the runtime reports collections without walking the heap.
    m_Runtime.Collect(TestRuntime::Collection());
    const DWORD light = MemoryProfiler::BaseEventMask & ~DWORD{COR_PRF_MONITOR_GC};
    EXPECT_EQ(m_Runtime.EventMask(), light);
    EXPECT_EQ(m_Runtime.EventMaskHigh(), MemoryProfiler::BasicCollectionEvents);
    const size_t walks = walked();
    m_Runtime.Collect(TestRuntime::Collection());
    EXPECT_EQ(walked(), walks) << "a collection without dump";

    m_pSession->Dump();
    ASSERT_TRUE(WaitFor(EventKind::Done));
    auto pFirst = NextSnapshot();
    ASSERT_NE(pFirst, nullptr);
    EXPECT_TRUE(pFirst->complete) << pFirst->note;
    EXPECT_EQ(pFirst->magic, MemoryProfiler::SnapshotMagic);
    EXPECT_EQ(CountSections(*pFirst, 0x3100), 3u);
    EXPECT_EQ(CountSections(*pFirst, 0x3102), 3u);
    EXPECT_EQ(CountSections(*pFirst, 0x3105), 1u);
    EXPECT_EQ(CountSections(*pFirst, 0x3107), 1u);
    EXPECT_EQ(CountSections(*pFirst, 0x3110), 1u);
    EXPECT_EQ(CountSections(*pFirst, 0x200), 1u);
    EXPECT_EQ(CountSections(*pFirst, 0x100), 1u);
    const auto* pObjects = pFirst->FindSection(0x3105);
    ASSERT_NE(pObjects, nullptr);
    EXPECT_EQ(pObjects->version, 1);
    EXPECT_EQ(pObjects->bytes[1], 3) << "three objects";
    EXPECT_EQ(walked(), walks + 3);
    EXPECT_EQ(m_Runtime.EventMask(), light);

    // The dump left a fresh snapshot open: the next one has the next index and its own dump.
    m_pSession->Dump();
    ASSERT_TRUE(WaitFor(EventKind::Done));
    auto pSecond = NextSnapshot();
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(pSecond->index, pFirst->index + 1);
    EXPECT_EQ(CountSections(*pSecond, 0x3100), 1u);
    EXPECT_EQ(m_Runtime.CollectionCount(), 4u);

    // Under manual control the API is refused, with a warning.
    EXPECT_EQ(MemoryProfiler_IsActive(), 1u);
    EXPECT_EQ(MemoryProfiler_Dump(), 0x80000002u);
    const std::vector<std::string> texts = Notifications();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "API is disabled (CR error code 0x80000002)"),
              texts.end());
}

TEST_F(MemoryProfilerTest, DumpWithoutOpenSnapshotOpensOneAndTheApiServesUnderApiControl) {
    SessionOptions options = Options(Controller::ControlKindApi, false);
    options.memory.trackFinalizers = true;
    Start(options);
    EXPECT_NE(m_Runtime.EventMask() & COR_PRF_MONITOR_GC, 0u) << "finalisers need full reports";
    BuildList();
    TestRuntime::Collection forced;
    forced.finalizable = {{1, m_List[2]}};
    m_Runtime.SetForcedCollection(forced);
    EXPECT_EQ(MemoryProfiler_IsActive(), 0u);
    EXPECT_EQ(MemoryProfiler_ForceGC(), 0u);
    EXPECT_EQ(m_Runtime.CollectionCount(), 1u);
    EXPECT_EQ(MemoryProfiler_Dump(), 0u);
    auto pSnapshot = NextSnapshot();
    ASSERT_NE(pSnapshot, nullptr);
    EXPECT_EQ(CountSections(*pSnapshot, 0x3100), 1u);
    EXPECT_EQ(CountSections(*pSnapshot, 0x3105), 1u);
    EXPECT_EQ(CountSections(*pSnapshot, 0x3106), 1u);

    m_pSession->ForceGC();
    const std::vector<std::string> texts = Notifications(2000);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Manual control is disabled"), texts.end());
    EXPECT_EQ(m_Runtime.CollectionCount(), 2u);
}

TEST_F(MemoryProfilerTest, EveryNthAllocationIsRecordedWithItsStack) {
    Start(Options(Controller::ControlKindManual, true, 3));
    EXPECT_EQ(m_Runtime.EventMask(),
              MemoryProfiler::AllocationEventMask | COR_PRF_MONITOR_OBJECT_ALLOCATED);
    BuildList();
    const ThreadID thread = m_Runtime.StartThreadHere();
    m_Runtime.SetStack(thread, {m_Runtime.AddFunction(m_Module, 0x06000001)});
    std::vector<ObjectID> allocated;
    for (int i = 0; i < 10; ++i) {
        allocated.push_back(m_Runtime.AddObject(m_Node, 3 * P));
        m_Runtime.NotifyObjectAllocated(allocated.back(), m_Node);
    }
    m_Runtime.EndThreadHere(thread);
    m_pSession->Dump();
    auto pSnapshot = NextSnapshot();
    ASSERT_NE(pSnapshot, nullptr);
    const auto* pAllocations = pSnapshot->FindSection(0x3111);
    ASSERT_NE(pAllocations, nullptr);
    ASSERT_EQ(pAllocations->bytes.size(), 5 + 3 * (P + 8));
    EXPECT_EQ(pAllocations->bytes[1], 3);
    for (size_t i = 0; i < 3; ++i) {
        ObjectID id = 0;
        std::memcpy(&id, &pAllocations->bytes[5 + i * (P + 8)], P);
        EXPECT_EQ(id, allocated[3 * i + 2]) << "allocation " << 3 * (i + 1);
    }
    EXPECT_NE(pSnapshot->FindSection(0x3112), nullptr);
}

TEST_F(MemoryProfilerTest, AfterAnErrorRequestsAreRefusedAndTheSnapshotIsDropped) {
    Start(Options(Controller::ControlKindApi, false));
    BuildList();
    m_Runtime.FailNext(Operation::ForceGC, E_FAIL);
    EXPECT_EQ(MemoryProfiler_ForceGC(), 0u) << "a failed collection still releases the caller";
    EXPECT_EQ(MemoryProfiler_Dump(), 0x80000005u);
    const std::vector<std::string> texts = Notifications();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Can't force gc (COM error code 0x80004005)"),
              texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "Operation is ignored because unrecoverable error is detected (CR error "
                        "code 0x80000005)"),
              texts.end());
}

TEST_F(MemoryProfilerTest, AFailedObjectReportDropsTheDumpsSnapshot) {
    Start(Options(Controller::ControlKindApi, false));
    BuildList();
    m_Runtime.Fail(Operation::GetObjectSize, E_FAIL);
    EXPECT_EQ(MemoryProfiler_Dump(), 0u);
    auto pSnapshot = NextSnapshot();
    ASSERT_NE(pSnapshot, nullptr);
    EXPECT_TRUE(pSnapshot->aborted);
    EXPECT_EQ(MemoryProfiler_Dump(), 0x80000005u);
}

}  // namespace
