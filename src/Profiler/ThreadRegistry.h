// One record per managed thread of the runtime, keyed by the runtime's thread id, from the thread's
// creation to its end; records of ended threads are kept until a snapshot consumes them, merged by
// name if asked. The calling thread's record is found from any thread, inside runtime callbacks and
// hooks, without a lock or an allocation: the three containers are copy-on-write and readers only
// pin the current version. The calling thread's record can also sit in an OS thread-local slot.
//
// Ownership: every record belongs to exactly one container, or to the caller between ThreadDelete
// and EndThreadDelete. A record found with Find or ForEach stays valid while its thread has not
// ended and no DoAndDelete, Delete or Close runs (the profiler's measure gate keeps those apart).
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Sync.h"
#include "Platform/Types.h"
#include "Profiler/BaseThread.h"
#include "Profiler/CowContainer.h"
#include "Profiler/IThreadVisitor.h"
#include "Util/ComRef.h"

class ThreadRegistry {
public:
    // Merge modes. Any other value behaves as MergeNever.
    static constexpr DWORD MergeNever = 0;
    // Ended threads that have a name share one record per name.
    static constexpr DWORD MergeNamed = 1;
    // All ended threads share one record (records then never receive a name).
    static constexpr DWORD MergeAll = 2;

    enum class Container { Active, Named, Ended };

    // What DoAndDelete covers; the values are the profiler's flush modes.
    enum class Scope : DWORD {
        All = 0,            // ended list, named map and active map
        EndedAndNamed = 1,  // ended list and named map
        Ended = 2,          // ended list only
    };

    ThreadRegistry() = default;
    // Destroys every record still held and frees the thread-local slot, without logging.
    virtual ~ThreadRegistry();

    ThreadRegistry(const ThreadRegistry&) = delete;
    ThreadRegistry& operator=(const ThreadRegistry&) = delete;

    // Keeps the runtime information and the options. Raises _le_error "Can't alloc TLS index".
    void Create(ICorProfilerInfo* pInfo, DWORD mergeMode, bool useThreadLocalSlot,
                bool queryHandles);
    // Destroys every record, frees the slot, resets the options and releases the runtime
    // information. No other operation may run meanwhile.
    void Close();

    // Finds or makes the thread's record and activates it.
    void ThreadCreate(ThreadID threadId);
    // Finds or makes the thread's record and names it, unless it has a name or the mode is
    // MergeAll.
    void ThreadSetName(ThreadID threadId, const WString& name);
    // Binds the active record to its OS thread: keeps the OS thread id, the runtime's handle when
    // handles are queried, and the record in the slot (only from that OS thread itself).
    void ThreadAssign(ThreadID threadId, DWORD osThreadId);
    // Takes the record out of the active map and hands it to the caller; null when there is none.
    std::unique_ptr<BaseThread> ThreadDelete(ThreadID threadId);
    // Deactivates the record taken by ThreadDelete and files it as ended (in the named map when
    // it merges by name, else in the ended list).
    void EndThreadDelete(std::unique_ptr<BaseThread> pThread);

    // The active record of the thread, or null. Takes no lock and allocates nothing.
    BaseThread* Find(ThreadID threadId) const noexcept;
    // The calling OS thread's record from the thread-local slot; null when the slot is not used
    // or holds nothing. Takes no lock and allocates nothing.
    BaseThread* GetThreadLocalRecord() const noexcept;

    // Calls visit(BaseThread&) for every record of one container, as it was when the call began.
    // Raises "Invalid thread" for a null entry.
    template <class Visit>
    void ForEach(Container container, Visit&& visit) const;
    // Calls visit(ThreadID, BaseThread&) for every running thread's record, as the active map was
    // when the call began: for callers that ask the runtime about each thread.
    template <class Visit>
    void ForEachActive(Visit&& visit) const;

    // Hands the records of the scope to the visitor, first their number, then each record (ended
    // list, named map, active map), and then deletes them: the ended list and the named map are
    // emptied and their records destroyed; records of the active map belong to running threads,
    // so they stay and only their data is dropped (BaseThread::Delete).
    void DoAndDelete(IThreadVisitor& visitor, Scope scope);
    // Deletes all records of all containers the same way as DoAndDelete with Scope::All.
    void Delete();

    DWORD GetMergeMode() const noexcept { return m_MergeMode; }
    bool UsesThreadLocalSlot() const noexcept {
        return m_TlsIndex.load(std::memory_order_relaxed) != Platform::TLS_OUT_OF_INDEXES;
    }
    bool QueriesHandles() const noexcept { return m_QueryHandles; }

protected:
    // Makes a new record numbered `number`; the derived registry supplies the record type.
    virtual std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) = 0;

private:
    struct ActiveEntry {
        ThreadID m_ThreadId;
        BaseThread* m_pThread;
    };
    // Sorted by thread id: a lookup is a binary search over one contiguous block.
    using ActiveMap = std::vector<ActiveEntry>;
    using NamedMap = std::map<WString, BaseThread*>;
    using EndedList = std::vector<BaseThread*>;
    using OwnedThreads = std::vector<std::unique_ptr<BaseThread>>;

    static BaseThread& Checked(BaseThread* pThread);
    static ActiveMap::const_iterator FindEntry(const ActiveMap& map, ThreadID threadId) noexcept;

    // The active record, else (when merging applies) the named record of `pName`, else a new one,
    // filed under the thread id. pName is null for ThreadCreate.
    BaseThread* FindOrMake(ThreadID threadId, const WString* pName);
    std::unique_ptr<BaseThread> TakeNamed(const WString& name);
    BaseThread* InsertActive(ThreadID threadId, std::unique_ptr<BaseThread> pThread);
    void FileEnded(std::unique_ptr<BaseThread> pThread);
    // Empties the ended list and, unless only it is covered, the named map.
    OwnedThreads TakeEnded(Scope scope);
    void DestroyAll() noexcept;

    ComRef<ICorProfilerInfo> m_pInfo;
    CowContainer<ActiveMap> m_Active;
    CowContainer<NamedMap> m_Named;
    CowContainer<EndedList> m_Ended;
    // Read on hooks' paths by any thread; set by Create and Close only.
    std::atomic<DWORD> m_TlsIndex{Platform::TLS_OUT_OF_INDEXES};
    std::atomic<DWORD> m_RecordCounter{0};
    // Set by Create and Close, which run before and after every other use.
    DWORD m_MergeMode = MergeNever;
    bool m_QueryHandles = false;
};

template <class Visit>
void ThreadRegistry::ForEach(Container container, Visit&& visit) const {
    switch (container) {
        case Container::Active: {
            typename CowContainer<ActiveMap>::Pin pin(m_Active);
            for (const ActiveEntry& entry : pin.Items()) {
                visit(Checked(entry.m_pThread));
            }
            break;
        }
        case Container::Named: {
            typename CowContainer<NamedMap>::Pin pin(m_Named);
            for (const auto& entry : pin.Items()) {
                visit(Checked(entry.second));
            }
            break;
        }
        case Container::Ended: {
            typename CowContainer<EndedList>::Pin pin(m_Ended);
            for (BaseThread* pThread : pin.Items()) {
                visit(Checked(pThread));
            }
            break;
        }
    }
}

template <class Visit>
void ThreadRegistry::ForEachActive(Visit&& visit) const {
    typename CowContainer<ActiveMap>::Pin pin(m_Active);
    for (const ActiveEntry& entry : pin.Items()) {
        visit(entry.m_ThreadId, Checked(entry.m_pThread));
    }
}
