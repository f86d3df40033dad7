// The memory profiler kind over a real bridge to the controller's Session, driven by the test
// runtime: start-up, the dump sequence across a forced collection, allocation sampling, both
// control kinds with the exported API, and the error states.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Profiler/Memory/MemoryProfiler.h"
#include "ProfilerOverLoopback.h"
#include "WinCE/Exports.h"

using Controller::EventKind;
using Controller::SessionOptions;
using Operation = TestRuntime::Operation;
using testing::Contains;
using testing::IsSupersetOf;

namespace {

constexpr mdToken TdNode = 0x02000002;
constexpr mdToken FdNext = 0x04000001;
constexpr ULONG P = sizeof(void*);

class MemoryProfilerTest : public ProfilerOverLoopback<MemoryProfiler> {
protected:
    void Start(SessionOptions options) {
        ASSERT_NO_FATAL_FAILURE(Connect(options, u"{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}"));
        // A module without file: metadata index 0.
        m_Module = m_Runtime.LoadModule({u"", 0x1000, 0x2000});
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

    std::shared_ptr<const Controller::Snapshot> NextSnapshot() {
        auto event = WaitFor(EventKind::Snapshot);
        return event ? event->snapshot : nullptr;
    }
    // The error and warning texts the controller was told of, until none comes for a while.
    std::vector<std::string> Notifications(DWORD milliseconds = 500) {
        std::vector<std::string> texts;
        while (auto event = m_pSession->WaitFor(EventKind::LogNotification, milliseconds)) {
            texts.push_back(event->text);
        }
        return texts;
    }

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
    for (const auto& [type, count] : {std::pair<uint16_t, size_t>{0x3100, 3},
                                      {0x3102, 3},
                                      {0x3105, 1},
                                      {0x3107, 1},
                                      {0x3110, 1},
                                      {0x200, 1},
                                      {0x100, 1}}) {
        EXPECT_EQ(CountSections(*pFirst, type), count) << std::hex << type;
    }
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
    EXPECT_THAT(Notifications(), Contains("API is disabled (CR error code 0x80000002)"));
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
    for (uint16_t type : {0x3100, 0x3105, 0x3106}) {
        EXPECT_EQ(CountSections(*pSnapshot, type), 1u) << std::hex << type;
    }

    m_pSession->ForceGC();
    EXPECT_THAT(Notifications(2000), Contains("Manual control is disabled"));
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
        std::memcpy(&id, pAllocations->bytes.data() + 5 + i * (P + 8), P);
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
    EXPECT_THAT(Notifications(),
                IsSupersetOf({"Can't force gc (COM error code 0x80004005)",
                              "Operation is ignored because unrecoverable error is detected (CR "
                              "error code 0x80000005)"}));
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
