// The spin lock of the command processor's write lock: one word, no owner, not re-entrant, waiting
// like SpinLock, plus a single attempt that never waits. Log notifications need that attempt: they
// run under the log lock and must drop their message rather than wait for a writer that may itself
// be waiting for the log lock.
#pragma once

#include <atomic>

#include "Platform/Types.h"

class TrySpinLock {
public:
    TrySpinLock() noexcept = default;
    TrySpinLock(const TrySpinLock&) = delete;
    TrySpinLock& operator=(const TrySpinLock&) = delete;

    void Acquire() noexcept {
        if (!TryAcquire()) {
            AcquireContended();
        }
    }

    // True when the lock was free and is now held by the caller.
    bool TryAcquire() noexcept { return m_Word.exchange(1, std::memory_order_acquire) == 0; }

    void Release() noexcept { m_Word.store(0, std::memory_order_release); }

    // Holds the lock for the lifetime of a scope.
    class Guard {
    public:
        explicit Guard(TrySpinLock& lock) noexcept : m_Lock(lock) { m_Lock.Acquire(); }
        ~Guard() { m_Lock.Release(); }

        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        TrySpinLock& m_Lock;
    };

private:
    // Retries at once for a while, then sleeps 10 ms between attempts so that a preempted holder
    // can run.
    void AcquireContended() noexcept;

    std::atomic<DWORD> m_Word{0};  // 0 free, 1 held
};
