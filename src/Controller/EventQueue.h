// The session's events in arrival order, pushed by its reader thread and taken by the caller with
// bounded waits. Taking one kind leaves the others queued in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <optional>

#include "Controller/ControllerEvent.h"
#include "Platform/Types.h"

namespace Controller {

class EventQueue {
public:
    void Push(ControllerEvent event);

    // The oldest event, waiting at most `milliseconds` (INFINITE: no limit); none on time-out.
    std::optional<ControllerEvent> WaitNext(DWORD milliseconds);
    // The oldest event of one of the kinds; older events of other kinds stay queued.
    std::optional<ControllerEvent> WaitFor(EventKind kind, DWORD milliseconds);
    std::optional<ControllerEvent> WaitFor(std::initializer_list<EventKind> kinds,
                                           DWORD milliseconds);

    size_t GetSize() const;

private:
    template <typename Match>
    std::optional<ControllerEvent> Take(Match match, DWORD milliseconds);

    // Guards m_Events. Taken by the session's reader thread to push and by callers to wait and
    // take; never held while an event is handled.
    mutable std::mutex m_Lock;
    std::condition_variable m_Pushed;
    std::deque<ControllerEvent> m_Events;
};

}  // namespace Controller
