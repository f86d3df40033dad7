#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Process.h"
#include "Platform/Sync.h"
#include "Profiler/ThreadRegistry.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "support/AllocationProbe.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/PALThreadsStub.h"
#include "support/ScopedLog.h"
#include "support/ScopedPALThreads.h"
#include "support/TestRuntime.h"

namespace {

using testing::ElementsAre;
using testing::StrEq;
using testing::ThrowsMessage;
using Container = ThreadRegistry::Container;
using Scope = ThreadRegistry::Scope;

constexpr DWORD PATIENCE_MS = 10000;

// A manual-reset event owned by the test.
struct Event {
    Event() = default;
    Event(const Event&) = delete;
    ~Event() { Platform::CloseEvent(h); }
    void Set() { Platform::SetEvent(h); }
    bool Wait() {
        return Platform::WaitForEvent(h, PATIENCE_MS) == Platform::WaitResult::Signalled;
    }
    Platform::EventHandle h = Platform::CreateManualResetEvent(false);
};

// What happened to the records after they were made; outlives every registry that uses it.
struct RecordEvents {
    std::atomic<int> made{0};
    std::atomic<int> destroyed{0};
};

class TestThread : public BaseThread {
public:
    TestThread(DWORD number, RecordEvents& events) : BaseThread(number), m_Events(events) {}
    ~TestThread() override { m_Events.destroyed.fetch_add(1); }
    void Delete() override { m_DataDeletes.fetch_add(1); }
    std::atomic<int> m_DataDeletes{0};

private:
    RecordEvents& m_Events;
};

class TestRegistry : public ThreadRegistry {
public:
    explicit TestRegistry(RecordEvents& events) : m_Events(events) {}

    // Set before the registry is shared between threads.
    std::function<void()> m_BeforeMake;
    bool m_MakeNothing = false;

protected:
    std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
        if (m_BeforeMake) {
            m_BeforeMake();
        }
        if (m_MakeNothing) {
            return nullptr;
        }
        m_Events.made.fetch_add(1);
        return std::make_unique<TestThread>(number, m_Events);
    }

private:
    RecordEvents& m_Events;
};

// Records what DoAndDelete hands out: the count first, then the record numbers in order.
class RecordingVisitor : public IThreadVisitor {
public:
    void OnCount(DWORD count) override {
        m_Count = count;
        m_CountCalls++;
    }
    void OnThread(BaseThread& thread) override {
        if (m_CountCalls == 0) {
            ADD_FAILURE() << "a record came before the count";
        }
        m_Numbers.push_back(thread.GetNumber());
        m_Activations += thread.GetActivationCount();
        if (m_FailAt != 0 && m_Numbers.size() == m_FailAt) {
            throw std::runtime_error("visitor failed");
        }
    }
    DWORD m_Count = 0;
    int m_CountCalls = 0;
    std::vector<DWORD> m_Numbers;
    DWORD m_Activations = 0;
    size_t m_FailAt = 0;  // 1-based record at which to fail; 0 never
};

// Records the host's sleeps and signals each one; it only yields, the test decides the pace (and
// stress rounds do not spend their time in 10 ms pauses).
class SleepRecordingThreads : public PALThreadsStub {
public:
    HRESULT STDMETHODCALLTYPE Sleep(DWORD milliseconds) override {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Sleeps.push_back(milliseconds);
        }
        m_Slept.Set();
        std::this_thread::yield();
        return S_OK;
    }
    std::vector<DWORD> Sleeps() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Sleeps;
    }
    Event m_Slept;

private:
    std::mutex m_Lock;  // guards m_Sleeps; taken by sleeping writers and the test
    std::vector<DWORD> m_Sleeps;
};

std::vector<BaseThread*> Records(const ThreadRegistry& registry, Container container) {
    std::vector<BaseThread*> records;
    registry.ForEach(container, [&](BaseThread& thread) { records.push_back(&thread); });
    return records;
}

std::vector<DWORD> Numbers(const ThreadRegistry& registry, Container container) {
    std::vector<DWORD> numbers;
    for (BaseThread* pThread : Records(registry, container)) {
        numbers.push_back(pThread->GetNumber());
    }
    return numbers;
}

void EndThread(ThreadRegistry& registry, ThreadID threadId) {
    registry.EndThreadDelete(registry.ThreadDelete(threadId));
}

// Runs a lookup on a thread of its own. Had it to wait for a stopped writer, FinishedInTime says
// so after the patience instead of hanging; the caller then releases the writer, which lets the
// lookup finish before the destructor joins it.
class SeparateLookup {
public:
    explicit SeparateLookup(std::function<void()> lookUp)
        : m_LookUp(std::move(lookUp)), m_Thread([this] {
              m_LookUp();
              m_Done.Set();
          }) {}
    ~SeparateLookup() { m_Thread.join(); }
    bool FinishedInTime() { return m_Done.Wait(); }

private:
    std::function<void()> m_LookUp;
    Event m_Done;
    std::thread m_Thread;  // last: starts once the members it uses exist
};

class ThreadRegistryTest : public testing::Test {
protected:
    void Create(DWORD mode, bool slot = false, bool handles = false) {
        m_Registry.Create(&m_Runtime, mode, slot, handles);
    }
    // A created thread, optionally named after its creation.
    ThreadID Started(const char16_t* pName = nullptr) {
        ThreadID id = m_Runtime.AddThread();
        m_Registry.ThreadCreate(id);
        if (pName != nullptr) {
            m_Registry.ThreadSetName(id, pName);
        }
        return id;
    }
    std::vector<DWORD> Ended() const { return Numbers(m_Registry, Container::Ended); }
    std::vector<DWORD> Named() const { return Numbers(m_Registry, Container::Named); }

    // Declared in this order so that the registry goes first: its records report to m_Events,
    // and it holds a reference on m_Runtime.
    RecordEvents m_Events;
    TestRuntime m_Runtime;
    TestRegistry m_Registry{m_Events};
};

}  // namespace

TEST_F(ThreadRegistryTest, CreateActivatesAndNumbersRecordsFromOne) {
    Create(ThreadRegistry::MergeNever);
    ThreadID a = m_Runtime.AddThread();
    ThreadID b = Started();
    m_Registry.ThreadCreate(a);
    BaseThread* pA = m_Registry.Find(a);
    BaseThread* pB = m_Registry.Find(b);
    ASSERT_NE(pA, nullptr);
    ASSERT_NE(pB, nullptr);
    EXPECT_EQ(pB->GetNumber(), 1u);
    EXPECT_EQ(pA->GetNumber(), 2u);
    EXPECT_TRUE(pA->IsActive());
    EXPECT_EQ(pA->GetActivationCount(), 1u);
    EXPECT_EQ(pA->GetOSThreadId(), 0u);
    EXPECT_FALSE(pA->HasName());
    EXPECT_EQ(m_Registry.Find(m_Runtime.AddThread()), nullptr);
    EXPECT_EQ(ErrorText([&] { m_Registry.ThreadCreate(a); }), "Can't activate twice");
    EXPECT_EQ(pA->GetActivationCount(), 1u);
}

TEST_F(ThreadRegistryTest, MergeNeverKeepsEndedThreadsOfOneNameApart) {
    Create(ThreadRegistry::MergeNever);
    for (int i = 0; i < 2; ++i) {
        ThreadID id = Started(u"Worker");
        EXPECT_EQ(m_Registry.Find(id)->GetName(), u"Worker");
        EndThread(m_Registry, id);
    }
    EXPECT_THAT(Ended(), ElementsAre(1u, 2u));
    EXPECT_TRUE(Named().empty());
    for (BaseThread* pThread : Records(m_Registry, Container::Ended)) {
        EXPECT_EQ(pThread->GetName(), u"Worker");
    }
    // A later thread of that name, named before it is created, still gets a record of its own.
    ThreadID third = m_Runtime.AddThread();
    m_Registry.ThreadSetName(third, u"Worker");
    m_Registry.ThreadCreate(third);
    EXPECT_EQ(m_Registry.Find(third)->GetNumber(), 3u);
}

TEST_F(ThreadRegistryTest, MergeNamedLetsALaterThreadOfTheSameNameShareTheRecord) {
    Create(ThreadRegistry::MergeNamed);
    ThreadID first = Started(u"Worker");
    m_Registry.ThreadSetName(first, u"Renamed");  // a name is never replaced
    BaseThread* pShared = m_Registry.Find(first);
    EndThread(m_Registry, first);
    EXPECT_EQ(Records(m_Registry, Container::Named), std::vector<BaseThread*>{pShared});
    // An unnamed thread ends in the ended list; ThreadCreate alone never merges by name.
    ThreadID unnamed = Started();
    EXPECT_NE(m_Registry.Find(unnamed), pShared);
    EndThread(m_Registry, unnamed);
    EXPECT_THAT(Ended(), ElementsAre(2u));
    // The runtime names the next thread before reporting its creation: it takes the record over.
    ThreadID second = m_Runtime.AddThread();
    m_Registry.ThreadSetName(second, u"Worker");
    EXPECT_EQ(m_Registry.Find(second), pShared);
    EXPECT_FALSE(pShared->IsActive());
    EXPECT_TRUE(Named().empty());
    m_Registry.ThreadCreate(second);
    EXPECT_TRUE(pShared->IsActive());
    EXPECT_EQ(pShared->GetActivationCount(), 2u);
    EXPECT_EQ(pShared->GetNumber(), 1u);
    EXPECT_EQ(pShared->GetName(), u"Worker");
    // A second record of a taken name, ended while the first is filed, goes to the ended list.
    ThreadID other = Started(u"Worker");
    EndThread(m_Registry, second);
    EndThread(m_Registry, other);
    EXPECT_THAT(Named(), ElementsAre(1u));
    EXPECT_THAT(Ended(), ElementsAre(2u, 3u));
}

TEST_F(ThreadRegistryTest, MergeAllSharesOneNamelessRecordAmongEndedThreads) {
    Create(ThreadRegistry::MergeAll);
    ThreadID first = Started(u"Worker");
    BaseThread* pShared = m_Registry.Find(first);
    EXPECT_FALSE(pShared->HasName());
    EndThread(m_Registry, first);
    ThreadID second = Started();
    EXPECT_EQ(m_Registry.Find(second), pShared);
    EXPECT_EQ(pShared->GetActivationCount(), 2u);
    // Named first, with any name: still the shared record.
    EndThread(m_Registry, second);
    ThreadID third = m_Runtime.AddThread();
    m_Registry.ThreadSetName(third, u"Other");
    EXPECT_EQ(m_Registry.Find(third), pShared);
    // Two threads that run side by side cannot share; the second to end is kept apart.
    m_Registry.ThreadCreate(third);
    ThreadID fourth = Started();
    EndThread(m_Registry, third);
    EndThread(m_Registry, fourth);
    EXPECT_THAT(Named(), ElementsAre(1u));
    EXPECT_THAT(Ended(), ElementsAre(2u));
}

TEST_F(ThreadRegistryTest, RaisesTheFixedFailureTexts) {
    Create(ThreadRegistry::MergeNever);
    ThreadID early = m_Runtime.AddThread();
    EXPECT_EQ(ErrorText([&] { m_Registry.ThreadAssign(early, 0x1234); }),
              "Thread must be created at this time");
    // A name alone makes an inactive record: assigning it keeps the OS thread but fails.
    m_Registry.ThreadSetName(early, u"Early");
    EXPECT_EQ(ErrorText([&] { m_Registry.ThreadAssign(early, 0x1234); }),
              "Can't assign for inactive thread");
    EXPECT_EQ(m_Registry.Find(early)->GetOSThreadId(), 0x1234u);
    // Ending an inactive record fails; the record passed in is destroyed, not lost.
    std::unique_ptr<BaseThread> pInactive = m_Registry.ThreadDelete(early);
    ASSERT_NE(pInactive, nullptr);
    EXPECT_EQ(ErrorText([&] { m_Registry.EndThreadDelete(std::move(pInactive)); }),
              "Can't deactivate twice");
    EXPECT_EQ(m_Events.destroyed.load(), 1);
    EXPECT_EQ(ErrorText([&] { m_Registry.EndThreadDelete(nullptr); }), "Invalid thread");
    m_Registry.m_MakeNothing = true;
    ThreadID unmade = m_Runtime.AddThread();
    EXPECT_EQ(ErrorText([&] { m_Registry.ThreadCreate(unmade); }), "Invalid thread pointer");
    EXPECT_EQ(ErrorText([&] { m_Registry.ThreadSetName(unmade, u"X"); }), "Invalid thread pointer");
    EXPECT_EQ(m_Registry.Find(unmade), nullptr);
}

TEST_F(ThreadRegistryTest, WritesOneLinePerOperationUnderThreadGt) {
    ScopedLog log(ComponentBit(LogComponent::ThreadGt));
    ThreadID id = m_Runtime.AddThread();
    DWORD osThreadId = Platform::GetCurrentThreadId();
    char osTid[16];
    std::snprintf(osTid, sizeof(osTid), "%08X", osThreadId);
    Create(ThreadRegistry::MergeNamed, true);
    m_Registry.ThreadCreate(id);
    m_Registry.ThreadSetName(id, u"W\u00F6rker");
    m_Registry.ThreadAssign(id, osThreadId);
    EndThread(m_Registry, id);
    EXPECT_EQ(m_Registry.ThreadDelete(id), nullptr);
    RecordingVisitor visitor;
    m_Registry.DoAndDelete(visitor, Scope::All);
    m_Registry.Delete();
    m_Registry.Close();
    const std::string tid = " tid=" + Hex(id);
    std::vector<std::string> expected = {"Create",
                                         "ThreadCreate" + tid,
                                         "ThreadSetName" + tid + " name='W\xC3\xB6rker'",
                                         "ThreadAssign" + tid + " osTid=" + osTid,
                                         "ThreadDelete" + tid,
                                         "EndThreadDelete",
                                         "ThreadDelete" + tid,
                                         "ThreadDelete" + tid + " res='unmatch'",
                                         "DoAndDelete",
                                         "Delete",
                                         "Close"};
    for (std::string& line : expected) {
        line = LogLinePrefix() + "BPool::" + line;
    }
    EXPECT_EQ(ReadLogLinesAfterRecord(), expected);

    // With the component off, the registry is silent.
    Log::Update(0, ComponentBit(LogComponent::ThreadGt));
    size_t linesBefore = ReadLogFileLines().size();
    Create(ThreadRegistry::MergeNever);
    Started();
    EXPECT_EQ(ReadLogFileLines().size(), linesBefore);
}

TEST_F(ThreadRegistryTest, ThreadLocalSlotHoldsTheRecordOfItsOwnOSThreadOnly) {
    Create(ThreadRegistry::MergeNever, true);
    EXPECT_TRUE(m_Registry.UsesThreadLocalSlot());
    ThreadID here = Started();
    const DWORD self = Platform::GetCurrentThreadId();
    EXPECT_EQ(ErrorText([&] { m_Registry.ThreadAssign(here, self + 1); }),
              "Can't set TLS value from other thread");
    EXPECT_EQ(m_Registry.GetThreadLocalRecord(), nullptr);
    m_Registry.ThreadAssign(here, self);
    BaseThread* pHere = m_Registry.Find(here);
    EXPECT_EQ(m_Registry.GetThreadLocalRecord(), pHere);
    EXPECT_EQ(pHere->GetOSThreadId(), self);
    BaseThread* pSeenElsewhere = pHere;
    std::thread([&] { pSeenElsewhere = m_Registry.GetThreadLocalRecord(); }).join();
    EXPECT_EQ(pSeenElsewhere, nullptr);
    // Ending on its own thread clears the slot.
    EndThread(m_Registry, here);
    EXPECT_EQ(m_Registry.GetThreadLocalRecord(), nullptr);
    EXPECT_EQ(pHere->GetOSThreadId(), 0u);
    EXPECT_FALSE(pHere->IsActive());
}

TEST_F(ThreadRegistryTest, EndingFromAnotherThreadWarnsAndStillFilesTheRecord) {
    ScopedLog log(0);  // warnings are written whatever the mask
    Create(ThreadRegistry::MergeNever, true);
    ThreadID id = m_Runtime.AddThread();
    BaseThread* pInSlot = nullptr;
    std::thread([&] {
        m_Registry.ThreadCreate(id);
        m_Registry.ThreadAssign(id, Platform::GetCurrentThreadId());
        pInSlot = m_Registry.GetThreadLocalRecord();
    }).join();
    ASSERT_NE(pInSlot, nullptr);
    EndThread(m_Registry, id);
    EXPECT_THAT(
        ReadLogLinesAfterRecord(),
        ElementsAre(LogLinePrefix() + "WARNING: Can't clear TLS value from another thread"));
    EXPECT_EQ(Records(m_Registry, Container::Ended), std::vector<BaseThread*>{pInSlot});
    EXPECT_EQ(pInSlot->GetOSThreadId(), 0u);
    EXPECT_FALSE(pInSlot->IsActive());
    // A record never bound to an OS thread sits in no slot: nothing to warn about.
    EndThread(m_Registry, Started());
    EXPECT_EQ(ReadLogLinesAfterRecord().size(), 1u);
}

TEST_F(ThreadRegistryTest, AssignQueriesThreadHandlesOnlyWhenAsked) {
    Create(ThreadRegistry::MergeNever);
    EXPECT_FALSE(m_Registry.QueriesHandles());
    ThreadID plain = Started();
    m_Registry.ThreadAssign(plain, 0x4321);
    EXPECT_EQ(m_Registry.Find(plain)->GetOSThreadId(), 0x4321u);
    EXPECT_EQ(m_Registry.GetThreadLocalRecord(), nullptr);
    EXPECT_EQ(m_Registry.Find(plain)->GetThreadHandle(), nullptr);
    EXPECT_EQ(m_Runtime.CallCount(TestRuntime::Operation::GetHandleFromThread), 0u);
    Create(ThreadRegistry::MergeNever, false, true);
    EXPECT_TRUE(m_Registry.QueriesHandles());
    ThreadID id = Started();
    m_Registry.ThreadAssign(id, 0x10);
    BaseThread* pThread = m_Registry.Find(id);
    EXPECT_NE(m_Runtime.HandleOf(id), nullptr);
    EXPECT_EQ(pThread->GetThreadHandle(), m_Runtime.HandleOf(id));
    EXPECT_EQ(m_Runtime.CallCount(TestRuntime::Operation::GetHandleFromThread), 1u);
    EndThread(m_Registry, id);
    EXPECT_EQ(pThread->GetThreadHandle(), nullptr);
    ThreadID failing = Started();
    m_Runtime.FailNext(TestRuntime::Operation::GetHandleFromThread, E_ACCESSDENIED);
    EXPECT_THAT([&] { m_Registry.ThreadAssign(failing, 0x11); },
                ThrowsMessage<_hr_error>(
                    StrEq("Can't get handle form thread id (COM error code 0x80070005)")));
    EXPECT_NO_THROW(m_Registry.ThreadAssign(failing, 0x11));  // the injected failure was used up
    EXPECT_EQ(m_Registry.Find(failing)->GetThreadHandle(), m_Runtime.HandleOf(failing));
}

namespace {

// Ended list {1, 2}, named map {3 "Worker"}, active map {4, 5}.
void FillAllContainers(ThreadRegistry& registry, TestRuntime& runtime) {
    registry.Create(&runtime, ThreadRegistry::MergeNamed, false, false);
    ThreadID ended1 = runtime.AddThread();
    ThreadID ended2 = runtime.AddThread();
    ThreadID named = runtime.AddThread();
    for (ThreadID id : {ended1, ended2, named}) {
        registry.ThreadCreate(id);
    }
    registry.ThreadSetName(named, u"Worker");
    for (ThreadID id : {ended1, ended2, named}) {
        EndThread(registry, id);
    }
    registry.ThreadCreate(runtime.AddThread());
    registry.ThreadCreate(runtime.AddThread());
}

std::vector<int> DataDeletes(const ThreadRegistry& registry) {
    std::vector<int> deletes;
    registry.ForEach(Container::Active, [&](BaseThread& thread) {
        deletes.push_back(static_cast<TestThread&>(thread).m_DataDeletes.load());
    });
    return deletes;
}

}  // namespace

TEST(ThreadRegistryDoAndDelete, HandsTheCountFirstThenTheScopesRecordsInOrder) {
    struct Case {
        Scope scope;
        size_t failAt;
        std::vector<DWORD> visited;
        int destroyed;
        std::vector<DWORD> namedLeft;
        std::vector<int> activeDataDeletes;
    };
    const Case cases[] = {
        {Scope::Ended, 0, {1, 2}, 2, {3}, {0, 0}},
        {Scope::EndedAndNamed, 0, {1, 2, 3}, 3, {}, {0, 0}},
        {Scope::All, 0, {1, 2, 3, 4, 5}, 3, {}, {1, 1}},
        // A failing visitor still leaves no taken record behind.
        {Scope::All, 2, {1, 2}, 3, {}, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.scope) * 10 + c.failAt);
        RecordEvents events;
        TestRuntime runtime;
        TestRegistry registry(events);
        FillAllContainers(registry, runtime);
        RecordingVisitor visitor;
        visitor.m_FailAt = c.failAt;
        EXPECT_EQ(ErrorText([&] { registry.DoAndDelete(visitor, c.scope); }),
                  c.failAt != 0 ? "visitor failed" : "(nothing raised)");
        EXPECT_EQ(visitor.m_CountCalls, 1);
        EXPECT_EQ(visitor.m_Count, c.failAt != 0 ? 5u : c.visited.size());
        EXPECT_EQ(visitor.m_Numbers, c.visited);
        EXPECT_EQ(events.destroyed.load(), c.destroyed);
        EXPECT_TRUE(Records(registry, Container::Ended).empty());
        EXPECT_EQ(Numbers(registry, Container::Named), c.namedLeft);
        // Records of running threads stay; only their data goes.
        EXPECT_THAT(Numbers(registry, Container::Active), ElementsAre(4u, 5u));
        EXPECT_EQ(DataDeletes(registry), c.activeDataDeletes);
    }
}

TEST(ThreadRegistryLifecycle, DeleteDropsEndedRecordsAndActiveDataThenCloseDropsAll) {
    RecordEvents events;
    TestRuntime runtime;
    {
        TestRegistry registry(events);
        FillAllContainers(registry, runtime);
        BaseThread* pActive = Records(registry, Container::Active).front();
        EXPECT_EQ(runtime.References(), 1u);
        registry.Delete();
        EXPECT_EQ(events.destroyed.load(), 3);
        EXPECT_TRUE(Records(registry, Container::Ended).empty());
        EXPECT_TRUE(Records(registry, Container::Named).empty());
        EXPECT_EQ(DataDeletes(registry), (std::vector<int>{1, 1}));
        EXPECT_EQ(Records(registry, Container::Active).front(), pActive);
        registry.Close();
        EXPECT_EQ(events.destroyed.load(), 5);
        EXPECT_TRUE(Records(registry, Container::Active).empty());
        EXPECT_EQ(registry.GetMergeMode(), ThreadRegistry::MergeNever);
        EXPECT_FALSE(registry.UsesThreadLocalSlot());
        EXPECT_FALSE(registry.QueriesHandles());
        EXPECT_EQ(runtime.References(), 0u);

        // Created again, it numbers on from where it was.
        registry.Create(&runtime, ThreadRegistry::MergeNever, true, true);
        ThreadID id = runtime.AddThread();
        registry.ThreadCreate(id);
        EXPECT_EQ(registry.Find(id)->GetNumber(), 6u);
    }
    // The destructor releases what is still held.
    EXPECT_EQ(events.destroyed.load(), events.made.load());
    EXPECT_EQ(runtime.References(), 0u);
}

TEST_F(ThreadRegistryTest, AWriterWaitsForReadersInTenMillisecondHostSleeps) {
    SleepRecordingThreads host;
    ScopedPALThreads scope(&host);
    Create(ThreadRegistry::MergeNever);
    Started();
    Event reading;
    std::atomic<bool> sawSleep{false};
    std::thread reader([&] {
        m_Registry.ForEach(Container::Active, [&](BaseThread&) {
            reading.Set();
            // Leaves only once the writer sleeps, so the writer must have waited for it.
            sawSleep = host.m_Slept.Wait();
        });
    });
    ASSERT_TRUE(reading.Wait());
    ThreadID added = Started();
    reader.join();
    EXPECT_TRUE(sawSleep);
    std::vector<DWORD> sleeps = host.Sleeps();
    EXPECT_FALSE(sleeps.empty());
    for (DWORD sleep : sleeps) {
        EXPECT_EQ(sleep, 10u);
    }
    EXPECT_NE(m_Registry.Find(added), nullptr);
}

TEST_F(ThreadRegistryTest, LookupsGoOnWhileAWriterIsStoppedAnywhere) {
    SleepRecordingThreads host;
    ScopedPALThreads scope(&host);
    Create(ThreadRegistry::MergeNever);
    ThreadID existing = Started();
    BaseThread* pExisting = m_Registry.Find(existing);
    ThreadID created = m_Runtime.AddThread();
    Event inFactory, leaveFactory, reading, stopReading;

    // 1. A writer stopped before publishing: inside the record factory.
    m_Registry.m_BeforeMake = [&] {
        inFactory.Set();
        leaveFactory.Wait();
    };
    std::thread creator([&] { m_Registry.ThreadCreate(created); });
    EXPECT_TRUE(inFactory.Wait());
    BaseThread* pFound = nullptr;
    BaseThread* pNotYet = pExisting;
    {
        SeparateLookup lookup([&] {
            pFound = m_Registry.Find(existing);
            pNotYet = m_Registry.Find(created);
        });
        EXPECT_TRUE(lookup.FinishedInTime()) << "a lookup waited for a writer in the factory";
        leaveFactory.Set();
    }
    creator.join();
    EXPECT_EQ(pFound, pExisting);
    EXPECT_EQ(pNotYet, nullptr);

    // 2. A writer stopped after publishing: waiting for a reader of the replaced version.
    std::thread reader([&] {
        m_Registry.ForEach(Container::Active, [&](BaseThread&) {
            reading.Set();
            stopReading.Wait();
        });
    });
    EXPECT_TRUE(reading.Wait());
    Platform::ResetEvent(host.m_Slept.h);
    std::thread deleter([&] { EndThread(m_Registry, existing); });
    EXPECT_TRUE(host.m_Slept.Wait());
    BaseThread* pGone = pExisting;
    BaseThread* pStill = nullptr;
    {
        SeparateLookup lookup([&] {
            pGone = m_Registry.Find(existing);
            pStill = m_Registry.Find(created);
        });
        EXPECT_TRUE(lookup.FinishedInTime()) << "a lookup waited for a writer waiting for readers";
        stopReading.Set();
    }
    reader.join();
    deleter.join();
    EXPECT_EQ(pGone, nullptr);
    EXPECT_NE(pStill, nullptr);
}

TEST_F(ThreadRegistryTest, LookupAllocatesNothing) {
    if (!AllocationProbe::Available()) {
        GTEST_SKIP() << "sanitizer builds keep the sanitizer's allocator";
    }
    {
        AllocationProbe probe;
        int* volatile pCounted = new int(7);
        EXPECT_EQ(probe.Count(), 1u) << "the probe must see an allocation on this thread";
        delete pCounted;
    }
    Create(ThreadRegistry::MergeNamed, true);
    ThreadID here = m_Runtime.AddThread();
    ThreadID missing = m_Runtime.AddThread();
    for (int i = 0; i < 8; ++i) {
        Started();
    }
    m_Registry.ThreadCreate(here);
    m_Registry.ThreadAssign(here, Platform::GetCurrentThreadId());
    AllocationProbe probe;
    BaseThread* pFound = m_Registry.Find(here);
    BaseThread* pMissing = m_Registry.Find(missing);
    BaseThread* pLocal = m_Registry.GetThreadLocalRecord();
    size_t allocations = probe.Count();
    EXPECT_EQ(allocations, 0u);
    EXPECT_NE(pFound, nullptr);
    EXPECT_EQ(pMissing, nullptr);
    EXPECT_EQ(pLocal, pFound);
}

TEST(ThreadRegistryConcurrent, ManyThreadsCreateNameAssignEndAndLookUpAtOnce) {
    SleepRecordingThreads host;
    ScopedPALThreads scope(&host);
    RecordEvents events;
    TestRuntime runtime;
    constexpr int WORKERS = 4;
    constexpr int ROUNDS = 300;
    std::atomic<ThreadID> recent[WORKERS] = {};
    std::atomic<bool> stop{false};
    DWORD visitedRecords = 0;
    DWORD visitedActivations = 0;
    {
        TestRegistry registry(events);
        registry.Create(&runtime, ThreadRegistry::MergeNamed, true, true);
        std::vector<std::thread> workers;
        for (int w = 0; w < WORKERS; ++w) {
            workers.emplace_back([&, w] {
                for (int round = 0; round < ROUNDS; ++round) {
                    ThreadID id = runtime.AddThread();
                    WString name = u"Worker";
                    name += static_cast<char16_t>(u'0' + round % 3);
                    // Half the threads are named before their creation, so they take over an
                    // ended record of that name while the flusher takes the named map away.
                    bool namedFirst = round % 2 == 0;
                    if (namedFirst) {
                        registry.ThreadSetName(id, name);
                    }
                    registry.ThreadCreate(id);
                    if (!namedFirst && round % 4 == 1) {
                        registry.ThreadSetName(id, name);
                    }
                    registry.ThreadAssign(id, Platform::GetCurrentThreadId());
                    BaseThread* pThread = registry.Find(id);
                    ASSERT_NE(pThread, nullptr);
                    EXPECT_TRUE(pThread->IsActive());
                    EXPECT_EQ(registry.GetThreadLocalRecord(), pThread);
                    EXPECT_EQ(pThread->GetThreadHandle(), runtime.HandleOf(id));
                    recent[w].store(id);
                    for (const std::atomic<ThreadID>& other : recent) {
                        registry.Find(other.load());  // others' records may go at any time
                    }
                    std::unique_ptr<BaseThread> pOwned = registry.ThreadDelete(id);
                    EXPECT_EQ(pOwned.get(), pThread);
                    registry.EndThreadDelete(std::move(pOwned));
                    EXPECT_EQ(registry.GetThreadLocalRecord(), nullptr);
                    EXPECT_EQ(registry.Find(id), nullptr);
                }
            });
        }
        std::thread reader([&] {
            while (!stop.load()) {
                size_t entries = 0;
                registry.ForEach(Container::Active, [&](BaseThread&) { ++entries; });
                EXPECT_LE(entries, static_cast<size_t>(WORKERS));
                registry.Find(recent[entries % WORKERS].load());
            }
        });
        std::thread flusher([&] {
            for (int turn = 0; !stop.load(); ++turn) {
                RecordingVisitor visitor;
                registry.DoAndDelete(visitor, turn % 2 == 0 ? Scope::Ended : Scope::EndedAndNamed);
                EXPECT_EQ(visitor.m_Count, visitor.m_Numbers.size());
                visitedRecords += visitor.m_Count;
                visitedActivations += visitor.m_Activations;
            }
        });
        for (std::thread& worker : workers) {
            worker.join();
        }
        stop = true;
        reader.join();
        flusher.join();

        // Every record was either consumed by a flush or is still filed; no activation was lost.
        EXPECT_TRUE(Records(registry, Container::Active).empty());
        std::vector<BaseThread*> left = Records(registry, Container::Ended);
        for (BaseThread* pThread : Records(registry, Container::Named)) {
            left.push_back(pThread);
        }
        DWORD leftActivations = 0;
        for (BaseThread* pThread : left) {
            EXPECT_FALSE(pThread->IsActive());
            leftActivations += pThread->GetActivationCount();
        }
        EXPECT_EQ(visitedRecords + left.size(), static_cast<size_t>(events.made.load()));
        EXPECT_EQ(visitedActivations + leftActivations, static_cast<DWORD>(WORKERS * ROUNDS));
        EXPECT_EQ(events.destroyed.load(), static_cast<int>(visitedRecords));
        registry.Close();
    }
    EXPECT_EQ(events.destroyed.load(), events.made.load());
}
