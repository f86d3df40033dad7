// Holds a SpinLock for the lifetime of a scope.
#pragma once

#include "Util/SpinLock.h"

class SpinLockGuard {
public:
    explicit SpinLockGuard(SpinLock& lock) noexcept : m_Lock(lock) { m_Lock.Acquire(); }
    ~SpinLockGuard() { m_Lock.Release(); }

    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    SpinLock& m_Lock;
};
