// A worker thread created through the host's thread services whose start is confirmed by a
// handshake: Start returns only after the procedure has taken over its inputs (SignalStarted).
#pragma once

#include <atomic>

#include "Platform/Sync.h"
#include "Platform/Types.h"
#include "WinCE/IPALThreads.h"

class SafeThread;

// Runs on the new thread. It is an outer edge: it must catch what it raises.
using SafeThreadProc = DWORD (*)(SafeThread* pThread, void* pArgument);

class SafeThread {
public:
    SafeThread() noexcept = default;
    SafeThread(const SafeThread&) = delete;
    SafeThread& operator=(const SafeThread&) = delete;

    // Polled by the thread procedure.
    virtual bool IsStopRequested() const noexcept;
    // Called once by the thread procedure when it has taken over its inputs.
    virtual void SignalStarted();
    // Stops and waits for the thread. A derived class whose procedure uses the derived members
    // calls Stop in its own destructor: they are gone by the time this one runs.
    virtual ~SafeThread();

    // The pass value goes unchanged to the host's create-thread operation.
    void Start(SafeThreadProc pProc, void* pArgument, DWORD passValue);
    // Asks the thread to stop and waits for its end; the thread can be started again afterwards.
    void Stop();
    // True once the thread has ended (or when there is none).
    bool HasFinished();

private:
    struct StartContext;
    static DWORD StartRoutine(void* pContext);

    void WaitUntilStarted();
    void CloseStartedEvent() noexcept;

    // Written by the owner, polled by the worker; only the flag itself is shared.
    std::atomic<bool> m_StopRequested{true};
    // Exists only during Start; the worker sets it, the owner creates, waits for and closes it.
    Platform::EventHandle m_hStartedEvent = nullptr;
    // The host's handle of the running thread; touched only by the owner.
    PALThreadHandle m_hThread = nullptr;
};
