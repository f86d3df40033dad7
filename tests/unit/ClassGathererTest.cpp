#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Controller/ClassTable.h"
#include "Platform/Com.h"
#include "Profiler/ClassGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "ProgressIndicator/BaseProgressIndicator.h"
#include "Util/ComponentMask.h"
#include "support/ClassRecordBytes.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ScopedLog.h"
#include "support/TestRuntime.h"
#include "support/WireBytes.h"

using namespace WireBytes;
using Operation = TestRuntime::Operation;

namespace {

constexpr DWORD Undescribed = 0xFE000000;
constexpr int64_t None = -1;

// Metadata indexes from a table instead of module files.
class TableMetaData : public MetaDataGatherer {
public:
    DWORD GetMetaDataIndex(ModuleID moduleId) override {
        return moduleId == 0 ? 0 : m_Indexes.at(moduleId);
    }
    std::map<ModuleID, DWORD> m_Indexes;
};

// Can fail the call that fetches type arguments alone (the one given a buffer), and gives other
// threads a chance to run while a class is described, so that collections of one class overlap.
class TypeArgFailingRuntime : public TestRuntime {
public:
    HRESULT STDMETHODCALLTYPE IsArrayClass(ClassID classId, CorElementType* pBaseElemType,
                                           ClassID* pBaseClassId, ULONG* pcRank) override {
        std::this_thread::yield();
        return TestRuntime::IsArrayClass(classId, pBaseElemType, pBaseClassId, pcRank);
    }
    HRESULT STDMETHODCALLTYPE GetClassIDInfo2(ClassID classId, ModuleID* pModuleId,
                                              mdTypeDef* pTypeDefToken, ClassID* pParentClassId,
                                              ULONG32 cNumTypeArgs, ULONG32* pcNumTypeArgs,
                                              ClassID typeArgs[]) override {
        if (typeArgs != nullptr && m_TypeArgFailure != S_OK) {
            return m_TypeArgFailure;
        }
        return TestRuntime::GetClassIDInfo2(classId, pModuleId, pTypeDefToken, pParentClassId,
                                            cNumTypeArgs, pcNumTypeArgs, typeArgs);
    }
    HRESULT m_TypeArgFailure = S_OK;
};

class RecordingIndicator : public BaseProgressIndicator {
public:
    RecordingIndicator() : BaseProgressIndicator(1000) {}
    DWORD m_Last = 0;

protected:
    void OnProgress(DWORD, DWORD value) override { m_Last = value; }
};

Bytes IndexSection(std::vector<int64_t> positions) {
    Bytes bytes = U32(static_cast<uint32_t>(positions.size()));
    for (int64_t position : positions) {
        const Bytes encoded = U64(position);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    return bytes;
}

uint64_t ReadLe(const Bytes& bytes, size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(bytes.at(at + i)) << (8 * i);
    }
    return value;
}

// Holds a collection of `m_PauseAt` (reached through a record's parent or type arguments) until
// released, so that a snapshot can be taken while a record still holds its placeholders.
class PausingGatherer : public ClassGatherer {
public:
    using ClassGatherer::ClassGatherer;
    INT32 CollectClassId(ClassID classId) override {
        if (classId != 0 && classId == m_PauseAt) {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Paused = true;
            m_Changed.notify_all();
            m_Changed.wait(lock, [&] { return m_Released; });
        }
        return ClassGatherer::CollectClassId(classId);
    }
    void WaitUntilPaused() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait(lock, [&] { return m_Paused; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Released = true;
        m_Changed.notify_all();
    }
    ClassID m_PauseAt = 0;

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Paused = false;
    bool m_Released = false;
};

class ClassGathererTest : public testing::Test {
protected:
    ClassGathererTest() {
        m_Module = m_Runtime.AddModule({u"/app/a.dll"});
        m_Other = m_Runtime.AddModule({u"/app/b.dll"});
        m_MetaData.m_Indexes = {{m_Module, 3}, {m_Other, 7}};
    }

    // Writes a snapshot and returns its two sections' contents, checking their types.
    std::pair<Bytes, Bytes> Snapshot() { return Snapshot(m_Gatherer); }
    std::pair<Bytes, Bytes> Snapshot(ClassGatherer& gatherer) {
        MemorySnapShotStorage storage;
        RecordingIndicator progress;
        gatherer.Write(&progress, &storage);
        EXPECT_EQ(progress.m_Last, 1000u);
        EXPECT_EQ(storage.Closed().size(), 2u);
        if (storage.Closed().size() != 2) {
            return {};
        }
        EXPECT_EQ(storage.Closed()[0].type, 0x200);
        EXPECT_EQ(storage.Closed()[1].type, 0x201);
        EXPECT_EQ(storage.Closed()[0].version, 0);
        EXPECT_EQ(storage.Closed()[1].version, 0);
        return {storage.Closed()[0].content, storage.Closed()[1].content};
    }
    size_t TempFilesLeft() const {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_Log.Directory().Path())) {
            const std::string name = entry.path().filename().string();
            count += name.rfind("cgd", 0) == 0 || name.rfind("cgi", 0) == 0;
        }
        return count;
    }
    ScopedLog m_Log{ComponentMask{1} << static_cast<unsigned>(LogComponent::SignatureGt)};
    TypeArgFailingRuntime m_Runtime;
    TableMetaData m_MetaData;
    ClassGatherer m_Gatherer{&m_MetaData};
    ModuleID m_Module = 0;
    ModuleID m_Other = 0;
};

TEST_F(ClassGathererTest, RecordsClassesBackToBackAndWritesBothSections) {
    m_Gatherer.Create(&m_Runtime);
    EXPECT_EQ(TempFilesLeft(), 2u);
    const ClassID base = m_Runtime.AddClass(m_Module, 0x02000005);
    const ClassID derived = m_Runtime.AddClass(m_Other, 0x02000009, base);
    EXPECT_EQ(m_Gatherer.CollectClassId(0), -1);
    EXPECT_EQ(m_Gatherer.CollectClassId(base), 0);
    EXPECT_EQ(m_Gatherer.CollectClassId(derived), 22);
    const unsigned asked = m_Runtime.CallCount(Operation::IsArrayClass);
    EXPECT_EQ(m_Gatherer.CollectClassId(derived), 22);
    EXPECT_EQ(m_Runtime.CallCount(Operation::IsArrayClass), asked);
    auto [data, index] = Snapshot();
    EXPECT_EQ(data, Concat({ClassRecordBytes(3, 0x02000005, 0, None),
                            ClassRecordBytes(7, 0x02000009, 0, 0)}));
    EXPECT_EQ(index, IndexSection({0, 22}));
    const std::string expected = "CG::CollectClassId mid=" + Hex(m_Other) + " cid=" + Hex(derived) +
                                 " mdi=00000007 tk=02000009 cidPos=00000016";
    const std::vector<std::string> lines = ReadLogLinesAfterRecord();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() >= expected.size() &&
               line.compare(line.size() - expected.size(), expected.size(), expected) == 0;
    })) << expected;
    m_Gatherer.Close();
    EXPECT_EQ(TempFilesLeft(), 0u);
}

TEST_F(ClassGathererTest, ArraysPointAtTheirElementAndTakeTheInnermostModule) {
    m_Gatherer.Create(&m_Runtime);
    const ClassID element = m_Runtime.AddClass(m_Other, 0x02000010);
    const ClassID vector = m_Runtime.AddArrayClass(element, 1);
    const ClassID jagged = m_Runtime.AddArrayClass(vector, 1);
    const ClassID cube = m_Runtime.AddArrayClass(element, 3);
    const ClassID composite = m_Runtime.AddClass(m_Module, 0x02000011);
    m_Runtime.MakeComposite(composite);
    const ClassID compositeArray = m_Runtime.AddArrayClass(composite, 1, ELEMENT_TYPE_PTR);
    EXPECT_EQ(m_Gatherer.CollectClassId(jagged), 0);
    EXPECT_EQ(m_Gatherer.CollectClassId(cube), 66);
    EXPECT_EQ(m_Gatherer.CollectClassId(compositeArray), 88);
    auto [data, index] = Snapshot();
    EXPECT_EQ(data, Concat({ClassRecordBytes(7, Undescribed, 1, 22),   // element[][]
                            ClassRecordBytes(7, Undescribed, 1, 44),   // element[]
                            ClassRecordBytes(7, 0x02000010, 0, None),  // element
                            ClassRecordBytes(7, Undescribed, 3, 44),   // element[,,]
                            ClassRecordBytes(0, Undescribed, 1, 110),  // composite[]
                            ClassRecordBytes(0, Undescribed, 0, None)}));
    EXPECT_EQ(index, IndexSection({0, 22, 44, 66, 88, 110}));
}

TEST_F(ClassGathererTest, TypeArgumentsArePatchedInAfterTheirOwnRecords) {
    m_Gatherer.Create(&m_Runtime);
    const ClassID first = m_Runtime.AddClass(m_Module, 0x02000002);
    const ClassID second = m_Runtime.AddClass(m_Other, 0x02000003);
    const ClassID pair = m_Runtime.AddClass(m_Module, 0x02000004, 0, {first, second});
    // self : Base<self>, so Base<self> finds self's record by its type argument.
    const ClassID self = m_Runtime.AddClass(m_Module, 0x02000006);
    const ClassID base = m_Runtime.AddClass(m_Module, 0x02000007, 0, {self});
    m_Runtime.SetClassParent(self, base);
    EXPECT_EQ(m_Gatherer.CollectClassId(pair), 0);
    EXPECT_EQ(m_Gatherer.CollectClassId(self), 82);
    auto [data, index] = Snapshot();
    EXPECT_EQ(data, Concat({ClassRecordBytes(3, 0x02000004, 0, None, {38, 60}),
                            ClassRecordBytes(3, 0x02000002, 0, None),
                            ClassRecordBytes(7, 0x02000003, 0, None),
                            ClassRecordBytes(3, 0x02000006, 0, 104),
                            ClassRecordBytes(3, 0x02000007, 0, None, {82})}));
    EXPECT_EQ(index, IndexSection({0, 38, 60, 82, 104}));
}

TEST_F(ClassGathererTest, WithoutInfo2ClassesHaveNoParentAndCompositesNoModule) {
    m_Runtime.Withhold(IID_ICorProfilerInfo2);
    m_Gatherer.Create(&m_Runtime);
    const ClassID base = m_Runtime.AddClass(m_Module, 0x02000005);
    const ClassID derived = m_Runtime.AddClass(m_Other, 0x02000009, base, {base});
    const ClassID composite = m_Runtime.AddClass(m_Module, 0x02000011);
    m_Runtime.MakeComposite(composite);
    EXPECT_EQ(m_Gatherer.CollectClassId(derived), 0);
    EXPECT_EQ(m_Gatherer.CollectClassId(composite), 22);
    EXPECT_EQ(m_Runtime.CallCount(Operation::GetClassIDInfo2), 0u);
    auto [data, index] = Snapshot();
    EXPECT_EQ(data, Concat({ClassRecordBytes(7, 0x02000009, 0, None),
                            ClassRecordBytes(0, Undescribed, 0, None)}));
}

TEST_F(ClassGathererTest, UnloadedClassIdGetsANewRecordAndSnapshotsGrow) {
    m_Gatherer.Create(&m_Runtime);
    const ClassID reused = m_Runtime.AddClass(m_Module, 0x02000005);
    const ClassID composite = m_Runtime.AddClass(m_Module, 0x02000011);
    m_Runtime.MakeComposite(composite);
    EXPECT_EQ(m_Gatherer.CollectClassId(reused), 0);
    const auto [firstData, firstIndex] = Snapshot();
    m_Gatherer.UnloadClass(reused);
    EXPECT_EQ(m_Gatherer.CollectClassId(reused), 22);
    EXPECT_EQ(m_Gatherer.CollectClassId(composite), 44);
    const Bytes record = ClassRecordBytes(3, 0x02000005, 0, None);
    EXPECT_EQ(firstData, record);
    EXPECT_EQ(firstIndex, IndexSection({0}));
    auto [data, index] = Snapshot();
    EXPECT_EQ(data, Concat({record, record, ClassRecordBytes(0, Undescribed, 0, None)}));
    EXPECT_EQ(index, IndexSection({0, 22, 44}));
}

TEST_F(ClassGathererTest, RuntimeFailuresNameTheCallAndWriteNothing) {
    EXPECT_EQ(ErrorText([&] { m_Gatherer.Create(nullptr); }), "Invalid profiler info interface");
    m_Runtime.FailNext(Operation::QueryInterface, E_FAIL);
    try {
        m_Gatherer.Create(&m_Runtime);
        ADD_FAILURE() << "Create went on without the runtime's answer";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
    }
    m_Gatherer.Create(&m_Runtime);
    const ClassID arg = m_Runtime.AddClass(m_Module, 0x02000002);
    const ClassID generic = m_Runtime.AddClass(m_Module, 0x02000004, 0, {arg});
    const ClassID array = m_Runtime.AddArrayClass(arg, 1);
    m_Runtime.FailNext(Operation::IsArrayClass, E_FAIL);
    EXPECT_EQ(ErrorText([&] { m_Gatherer.CollectClassId(arg); }),
              "Can't detect array (COM error code 0x80004005)");
    m_Runtime.FailNext(Operation::GetClassIDInfo2, E_FAIL);
    EXPECT_EQ(ErrorText([&] { m_Gatherer.CollectClassId(arg); }),
              "Can't get classInfo2 (COM error code 0x80004005)");
    m_Runtime.FailNext(Operation::GetClassIDInfo, E_FAIL);
    EXPECT_EQ(ErrorText([&] { m_Gatherer.CollectClassId(array); }),
              "Can't get classInfo (COM error code 0x80004005)");
    m_Runtime.m_TypeArgFailure = CORPROF_E_DATAINCOMPLETE;
    EXPECT_EQ(ErrorText([&] { m_Gatherer.CollectClassId(generic); }),
              "Can't get classInfo2 (COM error code 0x80131351)");
    m_Runtime.m_TypeArgFailure = S_OK;
    EXPECT_EQ(m_Gatherer.CollectClassId(generic), 0);
    auto [data, index] = Snapshot();
    EXPECT_EQ(data, Concat({ClassRecordBytes(3, 0x02000004, 0, None, {30}),
                            ClassRecordBytes(3, 0x02000002, 0, None)}));
}

TEST_F(ClassGathererTest, ConcurrentSnapshotOfAnUnfinishedRecordStaysReadable) {
    PausingGatherer gatherer(&m_MetaData);
    gatherer.Create(&m_Runtime);
    const ClassID object = m_Runtime.AddClass(m_Module, 0x02000001);
    const ClassID argument = m_Runtime.AddClass(m_Module, 0x02000002, object);
    const ClassID generic = m_Runtime.AddClass(m_Other, 0x02000004, object, {argument});
    gatherer.m_PauseAt = object;
    std::thread collector([&] { EXPECT_EQ(gatherer.CollectClassId(generic), 0); });
    gatherer.WaitUntilPaused();

    // The generic class is recorded, its parent and argument not yet.
    auto [data, index] = Snapshot(gatherer);
    EXPECT_EQ(data.size(), 30u);
    auto read = [](const Bytes& dataBytes, const Bytes& indexBytes) {
        Controller::SnapshotSection dataSection;
        dataSection.bytes = dataBytes;
        Controller::SnapshotSection indexSection;
        indexSection.bytes = indexBytes;
        return Controller::ClassTable::Read(dataSection, indexSection);
    };
    const Controller::ClassTable during = read(data, index);
    ASSERT_EQ(during.Records().size(), 1u);
    EXPECT_TRUE(during.Records()[0].incomplete);
    EXPECT_EQ(during.Records()[0].metadataIndex, 7u);
    EXPECT_EQ(during.Records()[0].token, 0x02000004u);
    gatherer.Release();
    collector.join();
    std::tie(data, index) = Snapshot(gatherer);
    const Controller::ClassTable after = read(data, index);
    ASSERT_EQ(after.Records().size(), 3u);
    const Controller::ClassRecord* pGeneric = after.Find(0);
    ASSERT_NE(pGeneric, nullptr);
    EXPECT_FALSE(pGeneric->incomplete);
    EXPECT_EQ(pGeneric->parent, 30);
    EXPECT_EQ(pGeneric->typeArguments, std::vector<int64_t>{52});
    gatherer.Close();
}

TEST_F(ClassGathererTest, ConcurrentCollectionsWriteOneRecordPerClass) {
    m_Gatherer.Create(&m_Runtime);
    // Expected parent and type arguments per class, and its token.
    struct Expected {
        ClassID parent;
        std::vector<ClassID> args;
        DWORD token;
    };
    std::map<ClassID, Expected> classes;
    auto add = [&](ModuleID module, DWORD token, ClassID parent, std::vector<ClassID> args) {
        const ClassID id = m_Runtime.AddClass(module, token, parent, args);
        classes[id] = {parent, args, token};
        return id;
    };
    const ClassID object = add(m_Module, 0x02000001, 0, {});
    std::vector<ClassID> bases;
    for (DWORD i = 0; i < 40; ++i) {
        bases.push_back(add(i % 2 ? m_Module : m_Other, 0x02000010 + i, object, {}));
    }
    for (size_t i = 0; i < bases.size(); ++i) {
        const ClassID generic =
            add(m_Module, 0x02000020, object, {bases[i], bases[(i + 1) % bases.size()]});
        const ClassID array = m_Runtime.AddArrayClass(generic, 1);
        classes[array] = {generic, {}, Undescribed};
        const ClassID jagged = m_Runtime.AddArrayClass(array, 2);
        classes[jagged] = {array, {}, Undescribed};
    }
    std::vector<ClassID> all;
    for (const auto& entry : classes) {
        all.push_back(entry.first);
    }
    constexpr int ThreadCount = 8;
    std::vector<std::map<ClassID, INT32>> seen(ThreadCount);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < ThreadCount; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads meet the same classes at the same time, half in another order.
            std::vector<ClassID> order = all;
            if (t % 2 != 0) {
                std::shuffle(order.begin(), order.end(), std::mt19937(t));
            }
            ++ready;
            while (ready.load() < ThreadCount) {
            }
            try {
                for (ClassID id : order) {
                    seen[t][id] = m_Gatherer.CollectClassId(id);
                }
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 1; t < ThreadCount; ++t) {
        EXPECT_EQ(seen[t], seen[0]);
    }
    auto [data, index] = Snapshot();
    ASSERT_EQ(ReadLe(index, 0, 4), classes.size());
    ASSERT_EQ(index.size(), 4 + 8 * classes.size());
    std::vector<int64_t> starts;
    for (size_t i = 0; i < classes.size(); ++i) {
        starts.push_back(static_cast<int64_t>(ReadLe(index, 4 + 8 * i, 8)));
    }
    std::sort(starts.begin(), starts.end());
    // Records lie back to back, each listed once.
    int64_t next = 0;
    for (int64_t start : starts) {
        ASSERT_EQ(start, next);
        next += 22 + 8 * static_cast<int64_t>(ReadLe(data, start + 20, 2));
    }
    EXPECT_EQ(next, static_cast<int64_t>(data.size()));
    auto positionOf = [&](ClassID id) { return id == 0 ? -1 : seen[0].at(id); };
    for (const auto& [id, expected] : classes) {
        const size_t at = static_cast<size_t>(positionOf(id));
        EXPECT_EQ(ReadLe(data, at + 4, 4), expected.token);
        EXPECT_EQ(static_cast<int64_t>(ReadLe(data, at + 12, 8)), positionOf(expected.parent));
        ASSERT_EQ(ReadLe(data, at + 20, 2), expected.args.size());
        for (size_t i = 0; i < expected.args.size(); ++i) {
            EXPECT_EQ(static_cast<int64_t>(ReadLe(data, at + 22 + 8 * i, 8)),
                      positionOf(expected.args[i]));
        }
    }
}

}  // namespace
