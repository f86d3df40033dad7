// The program's one short-term lock: a single word, no owner, not re-entrant. It guards only short
// sections (log writes, queue pushes and pops, setting swaps) and never throws.
#pragma once

#include <atomic>

#include "Platform/Types.h"

class SpinLock {
public:
    SpinLock() noexcept = default;
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void Acquire() noexcept {
        if (m_Word.exchange(1, std::memory_order_acquire) != 0) {
            AcquireContended();
        }
    }

    // One attempt that never waits: true when the lock was free and is now the caller's.
    bool TryAcquire() noexcept { return m_Word.exchange(1, std::memory_order_acquire) == 0; }

    void Release() noexcept { m_Word.store(0, std::memory_order_release); }

private:
    // Retries at once for a while, then sleeps 10 ms between attempts so that a holder that was
    // preempted can run.
    void AcquireContended() noexcept;

    std::atomic<DWORD> m_Word{0};  // 0 free, 1 held
};
