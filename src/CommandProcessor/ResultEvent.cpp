#include "CommandProcessor/ResultEvent.h"

#include <stdexcept>

ResultEvent::ResultEvent() : m_hEvent(Platform::CreateManualResetEvent(false)) {
    if (m_hEvent == nullptr) {
        throw std::runtime_error("Can't create event");
    }
}

ResultEvent::~ResultEvent() {
    Platform::CloseEvent(m_hEvent);
}

void ResultEvent::Complete(int64_t value) {
    m_Value = value;
    m_Outcome = Outcome::Completed;
    Signal();
}

void ResultEvent::Fail(Outcome outcome) {
    m_Outcome = outcome;
    Signal();
}

ResultEvent::Outcome ResultEvent::Wait() {
    if (Platform::WaitForEvent(m_hEvent, INFINITE) != Platform::WaitResult::Signalled) {
        throw std::runtime_error("Event waiting was interrupted");
    }
    return m_Outcome;
}

void ResultEvent::Signal() {
    if (!Platform::SetEvent(m_hEvent)) {
        throw std::runtime_error("Can't set event");
    }
}
