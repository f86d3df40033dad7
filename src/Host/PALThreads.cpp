#include "Host/PALThreads.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "Host/HostDiagnostics.h"

struct PALThreads::Record {
    enum class State {
        Created,   // handle exists, no OS thread yet
        Starting,  // OS thread being created; StartThread waits for it to report its id
        Running,
        Ended,     // the procedure returned, or the thread could never be started
    };

    PALThreadProc pProc;
    void* pContext;

    // One reference for the open handle, one for the running thread.
    std::atomic<int> refCount{1};

    // Guards state and osThreadId. Taken by the thread itself at its start and end, and by the
    // callers of StartThread, GetThreadId and WaitForThread (who wait on `changed`).
    std::mutex lock;
    std::condition_variable changed;
    State state = State::Created;
    DWORD osThreadId = 0;

    Record(PALThreadProc proc, void* context) : pProc(proc), pContext(context) {}

    void AddRef() { refCount.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        // acq_rel: the last owner must see every write the other owner made before letting go.
        if (refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
};

PALThreads::PALThreads() = default;

PALThreads::~PALThreads() {
    for (Record* pRecord : m_OpenHandles) {
        pRecord->Release();
    }
}

HRESULT PALThreads::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IPALThreads) {
        *ppvObject = static_cast<IPALThreads*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG PALThreads::AddRef() {
    return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG PALThreads::Release() {
    const ULONG remaining = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

HRESULT PALThreads::CreateThread(PALThreadProc pProc, void* pContext, DWORD passValue,
                                 DWORD reserved, PALThreadHandle* phThread) {
    if (phThread == nullptr) {
        return E_POINTER;
    }
    *phThread = nullptr;
    if (pProc == nullptr) {
        return E_INVALIDARG;
    }
    Record* pRecord = new (std::nothrow) Record(pProc, pContext);
    if (pRecord == nullptr) {
        return E_OUTOFMEMORY;
    }
    {
        std::lock_guard<std::mutex> guard(m_HandlesLock);
        m_OpenHandles.insert(pRecord);
    }
    *phThread = pRecord;
    return S_OK;
}

PALThreads::Record* PALThreads::AcquireRecord(PALThreadHandle hThread) {
    Record* pRecord = static_cast<Record*>(hThread);
    std::lock_guard<std::mutex> guard(m_HandlesLock);
    if (m_OpenHandles.count(pRecord) == 0) {
        return nullptr;
    }
    // Taken under the handle lock, so a concurrent CloseThread cannot free the record first.
    pRecord->AddRef();
    return pRecord;
}

HRESULT PALThreads::StartThread(PALThreadHandle hThread) {
    Record* pRecord = AcquireRecord(hThread);
    if (pRecord == nullptr) {
        return E_HANDLE;
    }
    bool startable;
    {
        std::lock_guard<std::mutex> guard(pRecord->lock);
        startable = pRecord->state == Record::State::Created;
        if (startable) {
            pRecord->state = Record::State::Starting;
        }
    }
    if (!startable) {
        pRecord->Release();
        return E_UNEXPECTED;
    }

    // The new thread holds a reference of its own and releases it when it ends.
    pRecord->AddRef();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int error = pthread_create(&thread, &attr, &PALThreads::ThreadMain, pRecord);
    pthread_attr_destroy(&attr);

    std::unique_lock<std::mutex> guard(pRecord->lock);
    if (error != 0) {
        // A thread that can never run counts as ended, so that waits on it return at once.
        pRecord->state = Record::State::Ended;
        pRecord->changed.notify_all();
        guard.unlock();
        pRecord->Release();  // the thread's
        pRecord->Release();  // ours
        return error == EAGAIN ? E_OUTOFMEMORY : E_FAIL;
    }
    // The thread id must be readable once StartThread has returned.
    pRecord->changed.wait(guard, [pRecord] { return pRecord->state != Record::State::Starting; });
    guard.unlock();
    pRecord->Release();
    return S_OK;
}

void* PALThreads::ThreadMain(void* pArg) {
    Record* pRecord = static_cast<Record*>(pArg);
    {
        std::lock_guard<std::mutex> guard(pRecord->lock);
        pRecord->osThreadId = static_cast<DWORD>(syscall(SYS_gettid));
        pRecord->state = Record::State::Running;
        pRecord->changed.notify_all();
    }
    try {
        pRecord->pProc(pRecord->pContext);
    } catch (...) {
        // Procedures catch their own failures; one that escapes must not take the process down
        // with a thread that nobody joins.
        HostDiagnostics::ReportFailure({"a thread procedure ended with an exception"});
    }
    {
        std::lock_guard<std::mutex> guard(pRecord->lock);
        pRecord->state = Record::State::Ended;
        pRecord->changed.notify_all();
    }
    pRecord->Release();
    return nullptr;
}

HRESULT PALThreads::CloseThread(PALThreadHandle hThread) {
    Record* pRecord = static_cast<Record*>(hThread);
    {
        std::lock_guard<std::mutex> guard(m_HandlesLock);
        if (m_OpenHandles.erase(pRecord) == 0) {
            return E_HANDLE;
        }
    }
    // Drops the handle's reference; a running thread keeps its own until it ends.
    pRecord->Release();
    return S_OK;
}

HRESULT PALThreads::Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    return S_OK;
}

HRESULT PALThreads::GetThreadId(PALThreadHandle hThread, DWORD* pOsThreadId) {
    if (pOsThreadId == nullptr) {
        return E_POINTER;
    }
    *pOsThreadId = 0;
    Record* pRecord = AcquireRecord(hThread);
    if (pRecord == nullptr) {
        return E_HANDLE;
    }
    HRESULT hr = E_UNEXPECTED;  // never started
    {
        std::lock_guard<std::mutex> guard(pRecord->lock);
        if (pRecord->osThreadId != 0) {
            *pOsThreadId = pRecord->osThreadId;
            hr = S_OK;
        }
    }
    pRecord->Release();
    return hr;
}

HRESULT PALThreads::WaitForThread(PALThreadHandle hThread, DWORD milliseconds) {
    Record* pRecord = AcquireRecord(hThread);
    if (pRecord == nullptr) {
        return E_HANDLE;
    }
    bool ended;
    {
        std::unique_lock<std::mutex> guard(pRecord->lock);
        auto hasEnded = [pRecord] { return pRecord->state == Record::State::Ended; };
        if (milliseconds == INFINITE) {
            pRecord->changed.wait(guard, hasEnded);
            ended = true;
        } else {
            ended = pRecord->changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                              hasEnded);
        }
    }
    pRecord->Release();
    return ended ? S_OK : PAL_E_TIMEOUT;
}
