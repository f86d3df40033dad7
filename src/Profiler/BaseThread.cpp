#include "Profiler/BaseThread.h"

#include "Util/NoDestructor.h"

const WString& BaseThread::GetName() const noexcept {
    static NoDestructor<const WString> s_EmptyName;
    return HasName() ? m_Name : *s_EmptyName;
}

bool BaseThread::TrySetName(const WString& name) {
    int expected = NAME_NONE;
    // Only one writer wins the right to store the name; readers wait for SET before reading it.
    if (!m_NameState.compare_exchange_strong(expected, NAME_WRITING, std::memory_order_acquire)) {
        return false;
    }
    try {
        m_Name = name;
    } catch (...) {
        m_NameState.store(NAME_NONE, std::memory_order_release);
        throw;
    }
    m_NameState.store(NAME_SET, std::memory_order_release);
    return true;
}
