#include "Profiler/ThreadRegistry.h"

#include <algorithm>

#include "Platform/Process.h"
#include "Util/HrError.h"
#include "Util/LeError.h"
#include "Util/Log.h"

namespace {

// The platform layer reports no OS error code for its thread-local slot calls.
constexpr DWORD NO_LAST_ERROR = 0;

bool IsLogging() noexcept {
    return Log::IsEnabled(LogComponent::ThreadGt);
}

void* AsPointer(ThreadID threadId) noexcept {
    return reinterpret_cast<void*>(threadId);
}

// The first entry of a map sorted by thread id whose id is not below `threadId`.
template <class Map>
auto LowerBound(Map& map, ThreadID threadId) {
    return std::lower_bound(map.begin(), map.end(), threadId,
                            [](const auto& entry, ThreadID id) { return entry.m_ThreadId < id; });
}

bool MergesByName(DWORD mergeMode, const BaseThread& thread) {
    return mergeMode == ThreadRegistry::MergeAll ||
           (mergeMode == ThreadRegistry::MergeNamed && thread.HasName());
}

}  // namespace

ThreadRegistry::~ThreadRegistry() {
    // No other thread uses the registry any more, so the records go without swapping containers.
    {
        CowContainer<ActiveMap>::Pin pin(m_Active);
        for (const ActiveEntry& entry : pin.Items()) {
            delete entry.m_pThread;
        }
    }
    {
        CowContainer<NamedMap>::Pin pin(m_Named);
        for (const auto& entry : pin.Items()) {
            delete entry.second;
        }
    }
    {
        CowContainer<EndedList>::Pin pin(m_Ended);
        for (BaseThread* pThread : pin.Items()) {
            delete pThread;
        }
    }
    DWORD index = m_TlsIndex.exchange(Platform::TLS_OUT_OF_INDEXES);
    if (index != Platform::TLS_OUT_OF_INDEXES) {
        Platform::TlsFree(index);
    }
}

void ThreadRegistry::Create(ICorProfilerInfo* pInfo, DWORD mergeMode, bool useThreadLocalSlot,
                            bool queryHandles) {
    if (IsLogging()) {
        Log::Message("BPool::Create");
    }
    DWORD index = Platform::TLS_OUT_OF_INDEXES;
    if (useThreadLocalSlot) {
        index = Platform::TlsAlloc();
        if (index == Platform::TLS_OUT_OF_INDEXES) {
            throw _le_error("Can't alloc TLS index", NO_LAST_ERROR);
        }
    }
    DWORD oldIndex = m_TlsIndex.exchange(index);
    if (oldIndex != Platform::TLS_OUT_OF_INDEXES) {
        Platform::TlsFree(oldIndex);
    }
    m_pInfo = pInfo;
    m_MergeMode = mergeMode;
    m_QueryHandles = queryHandles;
}

void ThreadRegistry::Close() {
    if (IsLogging()) {
        Log::Message("BPool::Close");
    }
    {
        OwnedThreads ended = TakeEnded(Scope::All);
        ActiveMap active = m_Active.Take();
        for (const ActiveEntry& entry : active) {
            delete entry.m_pThread;
        }
    }
    DWORD index = m_TlsIndex.exchange(Platform::TLS_OUT_OF_INDEXES);
    if (index != Platform::TLS_OUT_OF_INDEXES) {
        Platform::TlsFree(index);
    }
    m_MergeMode = MergeNever;
    m_QueryHandles = false;
    m_pInfo.Reset();
}

void ThreadRegistry::ThreadCreate(ThreadID threadId) {
    if (IsLogging()) {
        Log::Format("BPool::ThreadCreate tid=%p", AsPointer(threadId));
    }
    BaseThread* pThread = FindOrMake(threadId, nullptr);
    if (pThread->IsActive()) {
        throw std::runtime_error("Can't activate twice");
    }
    pThread->m_ActivationCount.fetch_add(1, std::memory_order_acq_rel);
    // Released after the count: a reader that sees the record active sees its activation.
    pThread->m_Active.store(true, std::memory_order_release);
}

void ThreadRegistry::ThreadSetName(ThreadID threadId, const WString& name) {
    if (IsLogging()) {
        Log::Format("BPool::ThreadSetName tid=%p name='%S'", AsPointer(threadId), name.c_str());
    }
    BaseThread* pThread = FindOrMake(threadId, &name);
    // Under MergeAll records stay nameless, so that every ended thread files under one name.
    if (m_MergeMode != MergeAll && !name.empty()) {
        pThread->TrySetName(name);
    }
}

void ThreadRegistry::ThreadAssign(ThreadID threadId, DWORD osThreadId) {
    if (IsLogging()) {
        Log::Format("BPool::ThreadAssign tid=%p osTid=%08X", AsPointer(threadId), osThreadId);
    }
    BaseThread* pThread = Find(threadId);
    if (pThread == nullptr) {
        throw std::runtime_error("Thread must be created at this time");
    }
    pThread->m_OSThreadId.store(osThreadId, std::memory_order_release);
    if (!pThread->IsActive()) {
        throw std::runtime_error("Can't assign for inactive thread");
    }
    if (m_QueryHandles) {
        HANDLE hThread = nullptr;
        HRESULT hr = m_pInfo->GetHandleFromThread(threadId, &hThread);
        if (FAILED(hr)) {
            throw _hr_error("Can't get handle form thread id", hr);
        }
        pThread->m_hThread.store(hThread, std::memory_order_release);
    }
    DWORD index = m_TlsIndex.load(std::memory_order_relaxed);
    if (index != Platform::TLS_OUT_OF_INDEXES) {
        // A slot holds a value per OS thread: only the thread itself can put its record there.
        if (osThreadId != Platform::GetCurrentThreadId()) {
            throw std::runtime_error("Can't set TLS value from other thread");
        }
        if (!Platform::TlsSetValue(index, pThread)) {
            throw _le_error("Can't set TLS value", NO_LAST_ERROR);
        }
    }
}

std::unique_ptr<BaseThread> ThreadRegistry::ThreadDelete(ThreadID threadId) {
    if (IsLogging()) {
        Log::Format("BPool::ThreadDelete tid=%p", AsPointer(threadId));
    }
    BaseThread* pTaken = nullptr;
    bool erased = m_Active.Update([&](ActiveMap& map) {
        pTaken = nullptr;
        auto it = LowerBound(map, threadId);
        if (it == map.end() || it->m_ThreadId != threadId) {
            return false;
        }
        pTaken = it->m_pThread;
        map.erase(it);
        return true;
    });
    if (!erased) {
        if (IsLogging()) {
            Log::Format("BPool::ThreadDelete tid=%p res='unmatch'", AsPointer(threadId));
        }
        return nullptr;
    }
    if (pTaken == nullptr) {
        throw std::runtime_error("Invalid thread pointer");
    }
    return std::unique_ptr<BaseThread>(pTaken);
}

void ThreadRegistry::EndThreadDelete(std::unique_ptr<BaseThread> pThread) {
    if (IsLogging()) {
        Log::Message("BPool::EndThreadDelete");
    }
    if (!pThread) {
        throw std::runtime_error("Invalid thread");
    }
    DWORD index = m_TlsIndex.load(std::memory_order_relaxed);
    DWORD osThreadId = pThread->GetOSThreadId();
    // A record never bound to an OS thread was never put into any slot.
    if (index != Platform::TLS_OUT_OF_INDEXES && osThreadId != 0) {
        if (osThreadId == Platform::GetCurrentThreadId()) {
            if (!Platform::TlsSetValue(index, nullptr)) {
                throw _le_error("Can't clear TLS value", NO_LAST_ERROR);
            }
        } else {
            Log::Warning("Can't clear TLS value from another thread");
        }
    }
    pThread->m_OSThreadId.store(0, std::memory_order_release);
    if (!pThread->IsActive()) {
        throw std::runtime_error("Can't deactivate twice");
    }
    pThread->m_Active.store(false, std::memory_order_release);
    pThread->m_hThread.store(nullptr, std::memory_order_release);
    FileEnded(std::move(pThread));
}

BaseThread* ThreadRegistry::Find(ThreadID threadId) const noexcept {
    // The pinned version is never changed or destroyed while we search it.
    CowContainer<ActiveMap>::Pin pin(m_Active);
    auto it = FindEntry(pin.Items(), threadId);
    return it == pin.Items().end() ? nullptr : it->m_pThread;
}

BaseThread* ThreadRegistry::GetThreadLocalRecord() const noexcept {
    DWORD index = m_TlsIndex.load(std::memory_order_relaxed);
    if (index == Platform::TLS_OUT_OF_INDEXES) {
        return nullptr;
    }
    return static_cast<BaseThread*>(Platform::TlsGetValue(index));
}

void ThreadRegistry::DoAndDelete(IThreadVisitor& visitor, Scope scope) {
    if (IsLogging()) {
        Log::Message("BPool::DoAndDelete");
    }
    // The taken records are destroyed when this scope ends, also if the visitor fails.
    OwnedThreads taken = TakeEnded(scope);
    if (scope != Scope::All) {
        visitor.OnCount(static_cast<DWORD>(taken.size()));
        for (const std::unique_ptr<BaseThread>& pThread : taken) {
            visitor.OnThread(Checked(pThread.get()));
        }
        return;
    }
    CowContainer<ActiveMap>::Pin pin(m_Active);
    visitor.OnCount(static_cast<DWORD>(taken.size() + pin.Items().size()));
    for (const std::unique_ptr<BaseThread>& pThread : taken) {
        visitor.OnThread(Checked(pThread.get()));
    }
    for (const ActiveEntry& entry : pin.Items()) {
        visitor.OnThread(Checked(entry.m_pThread));
    }
    for (const ActiveEntry& entry : pin.Items()) {
        entry.m_pThread->Delete();
    }
}

void ThreadRegistry::Delete() {
    if (IsLogging()) {
        Log::Message("BPool::Delete");
    }
    OwnedThreads taken = TakeEnded(Scope::All);
    ForEach(Container::Active, [](BaseThread& thread) { thread.Delete(); });
}

BaseThread& ThreadRegistry::Checked(BaseThread* pThread) {
    if (pThread == nullptr) {
        throw std::runtime_error("Invalid thread");
    }
    return *pThread;
}

ThreadRegistry::ActiveMap::const_iterator ThreadRegistry::FindEntry(const ActiveMap& map,
                                                                    ThreadID threadId) noexcept {
    auto it = LowerBound(map, threadId);
    return (it != map.end() && it->m_ThreadId == threadId) ? it : map.end();
}

BaseThread* ThreadRegistry::FindOrMake(ThreadID threadId, const WString* pName) {
    if (BaseThread* pThread = Find(threadId)) {
        return pThread;
    }
    std::unique_ptr<BaseThread> pThread;
    if (m_MergeMode == MergeAll) {
        // Records stay nameless in this mode: every ended thread waits under the empty name.
        pThread = TakeNamed(WString());
    } else if (m_MergeMode == MergeNamed && pName != nullptr && !pName->empty()) {
        pThread = TakeNamed(*pName);
    }
    if (!pThread) {
        DWORD number = m_RecordCounter.fetch_add(1, std::memory_order_relaxed) + 1;
        pThread = CreateThreadRecord(number);
        if (!pThread) {
            throw std::runtime_error("Invalid thread pointer");
        }
    }
    return InsertActive(threadId, std::move(pThread));
}

std::unique_ptr<BaseThread> ThreadRegistry::TakeNamed(const WString& name) {
    BaseThread* pTaken = nullptr;
    m_Named.Update([&](NamedMap& map) {
        pTaken = nullptr;
        auto it = map.find(name);
        if (it == map.end()) {
            return false;
        }
        pTaken = it->second;
        map.erase(it);
        return true;
    });
    return std::unique_ptr<BaseThread>(pTaken);
}

BaseThread* ThreadRegistry::InsertActive(ThreadID threadId, std::unique_ptr<BaseThread> pThread) {
    BaseThread* pExisting = nullptr;
    bool inserted = m_Active.Update([&](ActiveMap& map) {
        auto it = LowerBound(map, threadId);
        if (it != map.end() && it->m_ThreadId == threadId) {
            pExisting = it->m_pThread;
            return false;
        }
        map.insert(it, ActiveEntry{threadId, pThread.get()});
        return true;
    });
    if (inserted) {
        return pThread.release();
    }
    // Another caller filed a record for this id meanwhile. The runtime reports one thread from
    // one place at a time, so this only keeps both records safe: theirs stays, ours is filed.
    FileEnded(std::move(pThread));
    return pExisting;
}

void ThreadRegistry::FileEnded(std::unique_ptr<BaseThread> pThread) {
    if (MergesByName(m_MergeMode, *pThread)) {
        const WString& name = pThread->GetName();
        bool filed =
            m_Named.Update([&](NamedMap& map) { return map.emplace(name, pThread.get()).second; });
        if (filed) {
            pThread.release();
            return;
        }
        // A record of that name is already waiting (threads of one name ended side by side):
        // this one is kept in the ended list instead.
    }
    m_Ended.Update([&](EndedList& list) {
        list.push_back(pThread.get());
        return true;
    });
    pThread.release();
}

ThreadRegistry::OwnedThreads ThreadRegistry::TakeEnded(Scope scope) {
    EndedList ended = m_Ended.Take();
    NamedMap named;
    if (scope == Scope::All || scope == Scope::EndedAndNamed) {
        named = m_Named.Take();
    }
    OwnedThreads owned;
    owned.reserve(ended.size() + named.size());
    for (BaseThread* pThread : ended) {
        owned.emplace_back(pThread);
    }
    for (const auto& entry : named) {
        owned.emplace_back(entry.second);
    }
    return owned;
}
