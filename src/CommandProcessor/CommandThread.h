// The thread that runs a command processor's queued controller commands against the profiler's
// event sink, so that the bridge's worker thread never runs profiler work and keeps reading.
// Between commands it polls the sink for background work. The bridge switches it on and off;
// both switches return only once the thread has acknowledged them.
//
// TEvent is the kind's sink interface (IMeasureBridgeEvent or IMemoryBridgeEvent); the thread
// logic is one implementation, instantiated in CommandThread.cpp for each of them.
#pragma once

#include <atomic>
#include <deque>

#include "Bridge/IMeasureBridgeEvent.h"
#include "Bridge/IMemoryBridgeEvent.h"
#include "Platform/Types.h"
#include "Util/SafeThread.h"
#include "Util/SpinLock.h"

template <class TEvent>
class CommandThread : public SafeThread {
public:
    // A queued command: one operation of the sink.
    using Call = void (TEvent::*)();
    // The sink's background-work query.
    using Query = bool (TEvent::*)();

    // The sink is not owned. needWork and doWork are the sink's background-work pair.
    CommandThread(TEvent* pEvent, Query needWork, Call doWork);
    // Stops the thread before the members it uses are gone.
    ~CommandThread() override;

    // Starts the thread; returns once it runs (idle until enabled).
    void StartThread();
    // Appends a call; it runs after every call queued before it, once the thread is enabled.
    void Enqueue(Call call);
    // Drops every call not yet taken.
    void DiscardCalls();
    // Set or clear the enable request and wait, in 100 ms steps, until the thread has taken it
    // on (or has ended). After Disable returns no call runs and none will start.
    void Enable();
    void Disable();

private:
    static DWORD ThreadProc(SafeThread* pThread, void* pArgument);
    void DoWork();
    // Takes the oldest queued call; false when the queue is empty.
    bool TakeCall(Call& call);
    // Waits until the active state equals `active` or the thread has ended.
    void WaitForAcknowledgement(BYTE active);

    TEvent* const m_pEvent;
    const Query m_NeedWork;
    const Call m_DoWork;

    // Written only by the bridge side (Enable, Disable), read by the thread.
    std::atomic<BYTE> m_EnableRequest{0};
    // Written only by the thread to acknowledge the request, read by the bridge side.
    std::atomic<BYTE> m_ActiveState{0};

    // Guards m_Queue. Taken by the bridge's worker thread to append, by the command thread to
    // take, and by the owner to discard; held only for one push, pop or clear.
    SpinLock m_QueueLock;
    std::deque<Call> m_Queue;
};

extern template class CommandThread<IMeasureBridgeEvent>;
extern template class CommandThread<IMemoryBridgeEvent>;
