// The object behind a platform event handle. Private to the Linux implementation (and its tests,
// which read the waiter count to know a thread has entered its wait).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Platform/Sync.h"

namespace Platform {

// A manual-reset event. The generation counter lets every thread that was waiting when the event
// was set go, even if the event is reset before that thread runs again.
struct EventObject {
    // Guards every field below; taken briefly by setters, waiters and the closer.
    std::mutex m_Lock;
    std::condition_variable m_Changed;  // signalled, generation or closed changed
    std::condition_variable m_Drained;  // the last waiter left a closed event
    bool m_Signalled = false;
    bool m_Closed = false;
    uint64_t m_Generation = 0;
    unsigned m_Waiters = 0;
};

}  // namespace Platform
