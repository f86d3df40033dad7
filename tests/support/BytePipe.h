// A one-way byte line between threads: one side pushes, the other pops with a time limit, so a test
// that waits for bytes fails instead of hanging. Writers can be held to keep a message in flight.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "Platform/Types.h"

class BytePipe {
public:
    // False when the pipe is closed (the bytes are dropped).
    bool Push(const void* data, size_t count);
    // Waits up to `timeout` for at least one byte; returns how many were taken (0 on time-out or
    // when the pipe is closed and empty).
    size_t PopSome(void* buffer, size_t capacity, std::chrono::milliseconds timeout);
    // False when the bytes did not all arrive within `timeout` (nothing is taken then).
    bool PopExactly(void* buffer, size_t count, std::chrono::milliseconds timeout);
    // Everything pushed so far.
    std::vector<BYTE> TakeAll();
    size_t Available();

    // Wakes every waiter; pops drain what is left, pushes fail.
    void Close();
    bool IsClosed();

    // While held, Push waits (its caller keeps whatever lock it holds).
    void HoldWriters();
    void ReleaseWriters();
    // True once a writer waits at the hold.
    bool WaitForHeldWriter(std::chrono::milliseconds timeout);

private:
    std::mutex m_Lock;  // guards every field below
    std::condition_variable m_Changed;
    std::deque<BYTE> m_Bytes;
    bool m_Closed = false;
    bool m_WritersHeld = false;
    unsigned m_HeldWriters = 0;
};
