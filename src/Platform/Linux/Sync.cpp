#include "Platform/Sync.h"

#include <pthread.h>

#include <chrono>
#include <new>

#include "Platform/Linux/EventObject.h"

namespace Platform {

EventHandle CreateManualResetEvent(bool initiallySignalled) {
    auto* pEvent = new (std::nothrow) EventObject;
    if (pEvent != nullptr) {
        pEvent->m_Signalled = initiallySignalled;
    }
    return pEvent;
}

bool SetEvent(EventHandle event) {
    if (event == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(event->m_Lock);
    if (!event->m_Signalled) {
        event->m_Signalled = true;
        ++event->m_Generation;
        event->m_Changed.notify_all();
    }
    return true;
}

bool ResetEvent(EventHandle event) {
    if (event == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(event->m_Lock);
    event->m_Signalled = false;
    return true;
}

bool CloseEvent(EventHandle event) {
    if (event == nullptr) {
        return false;
    }
    {
        std::unique_lock<std::mutex> lock(event->m_Lock);
        event->m_Closed = true;
        event->m_Changed.notify_all();
        // Waiters still touch the object on their way out; it goes only after the last one.
        event->m_Drained.wait(lock, [event] { return event->m_Waiters == 0; });
    }
    delete event;
    return true;
}

WaitResult WaitForEvent(EventHandle event, DWORD milliseconds) {
    if (event == nullptr) {
        return WaitResult::Failed;
    }
    std::unique_lock<std::mutex> lock(event->m_Lock);
    if (event->m_Closed) {
        return WaitResult::Abandoned;
    }
    if (event->m_Signalled) {
        return WaitResult::Signalled;
    }
    if (milliseconds == 0) {
        return WaitResult::TimedOut;
    }
    const uint64_t generation = event->m_Generation;
    auto done = [event, generation] {
        return event->m_Closed || event->m_Signalled || event->m_Generation != generation;
    };
    ++event->m_Waiters;
    bool woken = true;
    if (milliseconds == INFINITE) {
        event->m_Changed.wait(lock, done);
    } else {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(milliseconds);
        woken = event->m_Changed.wait_until(lock, deadline, done);
    }
    --event->m_Waiters;
    WaitResult result = WaitResult::TimedOut;
    if (event->m_Closed) {
        result = WaitResult::Abandoned;
        if (event->m_Waiters == 0) {
            event->m_Drained.notify_all();
        }
    } else if (woken) {
        result = WaitResult::Signalled;
    }
    return result;
}

DWORD TlsAlloc() {
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0) {
        return TLS_OUT_OF_INDEXES;
    }
    static_assert(sizeof(pthread_key_t) <= sizeof(DWORD), "a slot index must fit a DWORD");
    return static_cast<DWORD>(key);
}

bool TlsFree(DWORD index) {
    return index != TLS_OUT_OF_INDEXES && pthread_key_delete(static_cast<pthread_key_t>(index)) == 0;
}

void* TlsGetValue(DWORD index) {
    if (index == TLS_OUT_OF_INDEXES) {
        return nullptr;
    }
    return pthread_getspecific(static_cast<pthread_key_t>(index));
}

bool TlsSetValue(DWORD index, void* value) {
    return index != TLS_OUT_OF_INDEXES &&
           pthread_setspecific(static_cast<pthread_key_t>(index), value) == 0;
}

}  // namespace Platform
