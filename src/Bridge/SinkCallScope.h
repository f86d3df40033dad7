// Marks the calling thread as writing a log notification from inside the log's sink call. The log
// lock is held there and is not re-entrant, so code on the bridge's write path skips its own log
// lines while a scope is active: such a line would wait on the lock its own thread holds.
#pragma once

class SinkCallScope {
public:
    SinkCallScope() noexcept : m_WasActive(t_Active) { t_Active = true; }
    ~SinkCallScope() { t_Active = m_WasActive; }

    SinkCallScope(const SinkCallScope&) = delete;
    SinkCallScope& operator=(const SinkCallScope&) = delete;

    static bool IsActive() noexcept { return t_Active; }

private:
    static inline thread_local bool t_Active = false;
    bool m_WasActive;
};
