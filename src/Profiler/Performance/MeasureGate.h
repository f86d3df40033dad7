// Keeps the runtime's callbacks and hooks (readers) out while measuring is switched, trees are
// flushed or the API and the controller change the snapshot (writers). Any number of readers pass
// together; a writer waits until none is inside and keeps new ones out.
//
// Readers: mark their stripe, then look at the writer flag; if it is set they take the mark back
// and sleep in 10 ms steps until it clears. Writer: swap the flag to 1 (1024 immediate retries,
// then 10 ms sleeps between tries), then sleep in 10 ms steps until every stripe is 0.
//
// The reader count is split into stripes, one cache line each, and each thread keeps to its own
// stripe, so readers on different threads never write the same line: passing the gate costs one
// thread what it costs two. The writer sums the stripes. Readers may nest on one thread; a thread
// that holds the gate as writer must not enter it as reader (it would wait for itself).
#pragma once

#include <atomic>

#include "Platform/Types.h"

class MeasureGate {
public:
    static constexpr DWORD StripeCount = 64;
    // Two lines: the adjacent-line prefetcher pairs lines, so one line alone could still bounce.
    static constexpr size_t StripeBytes = 128;
    static constexpr unsigned WriterSpinCount = 1024;
    static constexpr DWORD SleepMs = 10;

    MeasureGate() noexcept = default;
    MeasureGate(const MeasureGate&) = delete;
    MeasureGate& operator=(const MeasureGate&) = delete;

    // Returns the stripe the reader marked, to be handed back to LeaveReader.
    DWORD EnterReader() noexcept {
        const DWORD stripe = CurrentStripe();
        std::atomic<DWORD>& count = m_Stripes[stripe].m_Count;
        for (;;) {
            // Mark, then look: a writer swaps its flag, then looks at the marks. Both are
            // sequentially consistent, so at least one of the two sees the other.
            count.fetch_add(1, std::memory_order_seq_cst);
            if (m_Writer.load(std::memory_order_seq_cst) == 0) {
                return stripe;
            }
            count.fetch_sub(1, std::memory_order_release);
            WaitForNoWriter();
        }
    }
    void LeaveReader(DWORD stripe) noexcept {
        // Release: what the reader did happens before the writer that sees the stripe at 0.
        m_Stripes[stripe].m_Count.fetch_sub(1, std::memory_order_release);
    }

    void EnterWriter() noexcept;
    void LeaveWriter() noexcept {
        // Release: readers that see the flag clear see everything the writer did.
        m_Writer.store(0, std::memory_order_release);
    }

    // Whether a writer holds (or is taking) the gate.
    bool IsWriterInside() const noexcept { return m_Writer.load(std::memory_order_acquire) != 0; }
    // The sum of the stripes: the readers inside right now (nested entries count each).
    DWORD CountReaders() const noexcept;

    class ReaderLock {
    public:
        explicit ReaderLock(MeasureGate& gate) noexcept
            : m_Gate(gate), m_Stripe(gate.EnterReader()) {}
        ~ReaderLock() { m_Gate.LeaveReader(m_Stripe); }
        ReaderLock(const ReaderLock&) = delete;
        ReaderLock& operator=(const ReaderLock&) = delete;

    private:
        MeasureGate& m_Gate;
        const DWORD m_Stripe;
    };

    class WriterLock {
    public:
        explicit WriterLock(MeasureGate& gate) noexcept : m_Gate(gate) { gate.EnterWriter(); }
        ~WriterLock() { m_Gate.LeaveWriter(); }
        WriterLock(const WriterLock&) = delete;
        WriterLock& operator=(const WriterLock&) = delete;

    private:
        MeasureGate& m_Gate;
    };

private:
    struct alignas(StripeBytes) Stripe {
        std::atomic<DWORD> m_Count{0};
    };

    // The calling thread's stripe, handed out in turn to threads as they first pass any gate.
    static DWORD CurrentStripe() noexcept {
        const DWORD assigned = t_StripePlusOne;
        return assigned != 0 ? assigned - 1 : AssignStripe();
    }
    static DWORD AssignStripe() noexcept;
    void WaitForNoWriter() const noexcept;

    // 0 until the thread first passes a gate; trivially destructible, so threads leave nothing.
    static inline thread_local DWORD t_StripePlusOne = 0;

    // Written by writers only; every reader reads it, so it has a line of its own.
    alignas(StripeBytes) std::atomic<DWORD> m_Writer{0};
    Stripe m_Stripes[StripeCount];
};
