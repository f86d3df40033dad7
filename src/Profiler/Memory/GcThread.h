// The memory kind's collection thread: it makes the runtime collect garbage when a forced
// collection or a heap dump is requested. The runtime accepts ForceGC only from a thread that has
// never run managed code, so requesters (application threads calling the API, the command thread)
// queue a request and wait on its event; this thread alone calls ForceGC, every 100 ms, until the
// memory profiler has seen a collection start and finish in the requested mode.
#pragma once

#include <atomic>
#include <deque>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Sync.h"
#include "Platform/Types.h"
#include "Util/ComRef.h"
#include "Util/SafeThread.h"
#include "Util/SpinLock.h"

class GcThread : public SafeThread {
public:
    // Collection modes.
    static constexpr DWORD ModeNone = 0;
    static constexpr DWORD ModeForceGC = 1;
    static constexpr DWORD ModeDump = 2;

    // One request; it lives on the requester's stack until its event is signalled.
    struct Request {
        DWORD mode;
        Platform::EventHandle hDone;
    };

    GcThread() = default;
    // Stops the thread before the members it uses are gone.
    ~GcThread() override;

    // Keeps a reference; a null interface raises "Null profiling interface pointer".
    void SetInfo(ICorProfilerInfo* pInfo);
    // Drops the runtime interface (after the thread has stopped).
    void ReleaseInfo() { m_pInfo = nullptr; }
    // Starts the thread; returns once it runs (idle until enabled).
    void StartThread();
    // Sets the enable request and waits, in 100 ms steps, until the thread is active or has ended.
    void Enable();
    // Queues a request of mode 1 or 2 and returns once the thread has served it. Mode 0 raises
    // "Invalid command".
    void Run(DWORD mode);

    // The collection state shared with the memory profiler's collection callbacks: the collecting
    // flag is set while a collection runs; the requested mode is written by this thread and
    // cleared, with the current mode, when a collection that ran in a mode ends.
    std::atomic<DWORD>& Collecting() { return m_Collecting; }
    std::atomic<DWORD>& RequestedMode() { return m_RequestedMode; }
    std::atomic<DWORD>& CurrentMode() { return m_CurrentMode; }

private:
    static DWORD ThreadProc(SafeThread* pThread, void* pArgument);
    void DoWork();
    // Takes the oldest queued request; null when none is queued.
    Request* TakeRequest();
    // Collects until the request's mode has run; what it raises is logged.
    void Serve(Request& request);
    // Releases a requester; a failure raises "Can't set event".
    static void Signal(Request& request);

    ComRef<ICorProfilerInfo> m_pInfo;  // set before the thread starts, dropped after it stopped

    std::atomic<DWORD> m_Collecting{0};
    std::atomic<DWORD> m_RequestedMode{ModeNone};
    std::atomic<DWORD> m_CurrentMode{ModeNone};

    // Written only by the owner (Enable), read by the thread.
    std::atomic<BYTE> m_EnableRequest{0};
    // Written only by the thread, read by the owner.
    std::atomic<BYTE> m_ActiveState{0};

    // Guards m_Queue. Taken by requesters to append and by this thread to take, for one push or
    // pop; never by runtime callbacks.
    SpinLock m_QueueLock;
    std::deque<Request*> m_Queue;
};
