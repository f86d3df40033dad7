#include "CommandProcessor/CommandThread.h"

#include <stdexcept>

#include "Util/Assert.h"
#include "Util/CatchAtEdge.h"
#include "Util/HostSleep.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr DWORD IDLE_SLEEP_MS = 100;

}  // namespace

template <class TEvent>
CommandThread<TEvent>::CommandThread(TEvent* pEvent, Query needWork, Call doWork)
    : m_pEvent(pEvent), m_NeedWork(needWork), m_DoWork(doWork) {
    QV_ASSERT(pEvent != NULL);
}

template <class TEvent>
CommandThread<TEvent>::~CommandThread() {
    LogEdgeFailure([this] { Stop(); });
}

template <class TEvent>
void CommandThread<TEvent>::StartThread() {
    Start(&ThreadProc, nullptr, 0);
}

template <class TEvent>
void CommandThread<TEvent>::Enqueue(Call call) {
    SpinLockGuard guard(m_QueueLock);
    m_Queue.push_back(call);
}

template <class TEvent>
void CommandThread<TEvent>::DiscardCalls() {
    SpinLockGuard guard(m_QueueLock);
    m_Queue.clear();
}

template <class TEvent>
void CommandThread<TEvent>::Enable() {
    m_EnableRequest.store(1);
    WaitForAcknowledgement(1);
}

template <class TEvent>
void CommandThread<TEvent>::Disable() {
    m_EnableRequest.store(0);
    WaitForAcknowledgement(0);
}

template <class TEvent>
void CommandThread<TEvent>::WaitForAcknowledgement(BYTE active) {
    while (m_ActiveState.load() != active && !HasFinished()) {
        HostSleep(IDLE_SLEEP_MS);
    }
}

template <class TEvent>
DWORD CommandThread<TEvent>::ThreadProc(SafeThread* pThread, void*) {
    auto* pThis = static_cast<CommandThread*>(pThread);
    if (!LogEdgeFailure([pThis] { pThis->DoWork(); })) {
        // A failed call ends the thread; a waiting Disable sees the end either way.
        pThis->m_ActiveState.store(0);
    }
    return 0;
}

template <class TEvent>
void CommandThread<TEvent>::DoWork() {
    if (Log::IsEnabled(LogComponent::Bridge)) {
        Log::Message("CT::DoWorkThread");
    }
    if (m_EnableRequest.load() != 0) {
        throw std::runtime_error("Invalid enable state");
    }
    if (m_ActiveState.load() != 0) {
        throw std::runtime_error("Invalid active state");
    }
    SignalStarted();

    while (!IsStopRequested()) {
        if (m_EnableRequest.load() == 0) {
            m_ActiveState.store(0);
            HostSleep(IDLE_SLEEP_MS);
            continue;
        }
        m_ActiveState.store(1);
        // Seen again after announcing the active state: a Disable that read the state as clear
        // must find no call starting. Both sides use sequentially consistent accesses.
        if (m_EnableRequest.load() == 0) {
            continue;
        }
        Call call = nullptr;
        if (TakeCall(call)) {
            (m_pEvent->*call)();
        } else if ((m_pEvent->*m_NeedWork)() && m_EnableRequest.load() != 0) {
            (m_pEvent->*m_DoWork)();
        } else {
            HostSleep(IDLE_SLEEP_MS);
        }
    }
    m_ActiveState.store(0);
}

template <class TEvent>
bool CommandThread<TEvent>::TakeCall(Call& call) {
    SpinLockGuard guard(m_QueueLock);
    if (m_Queue.empty()) {
        return false;
    }
    call = m_Queue.front();
    m_Queue.pop_front();
    return true;
}

template class CommandThread<IMeasureBridgeEvent>;
template class CommandThread<IMemoryBridgeEvent>;
