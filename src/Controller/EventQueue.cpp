#include "Controller/EventQueue.h"

#include <algorithm>
#include <chrono>

namespace Controller {

void EventQueue::Push(ControllerEvent event) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Events.push_back(std::move(event));
    m_Pushed.notify_all();
}

template <typename Match>
std::optional<ControllerEvent> EventQueue::Take(Match match, DWORD milliseconds) {
    std::unique_lock<std::mutex> guard(m_Lock);
    std::deque<ControllerEvent>::iterator found;
    auto present = [&] {
        found = std::find_if(m_Events.begin(), m_Events.end(), match);
        return found != m_Events.end();
    };
    if (milliseconds == INFINITE) {
        m_Pushed.wait(guard, present);
    } else if (!m_Pushed.wait_for(guard, std::chrono::milliseconds(milliseconds), present)) {
        return std::nullopt;
    }
    ControllerEvent event = std::move(*found);
    m_Events.erase(found);
    return event;
}

std::optional<ControllerEvent> EventQueue::WaitNext(DWORD milliseconds) {
    return Take([](const ControllerEvent&) { return true; }, milliseconds);
}

std::optional<ControllerEvent> EventQueue::WaitFor(EventKind kind, DWORD milliseconds) {
    return Take([kind](const ControllerEvent& event) { return event.kind == kind; },
                milliseconds);
}

std::optional<ControllerEvent> EventQueue::WaitFor(std::initializer_list<EventKind> kinds,
                                                   DWORD milliseconds) {
    return Take(
        [kinds](const ControllerEvent& event) {
            return std::find(kinds.begin(), kinds.end(), event.kind) != kinds.end();
        },
        milliseconds);
}

size_t EventQueue::GetSize() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Events.size();
}

}  // namespace Controller
