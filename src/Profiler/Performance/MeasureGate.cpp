#include "Profiler/Performance/MeasureGate.h"

#include "Util/HostSleep.h"

namespace {

// Counts the threads that have asked for a stripe, in every gate of the process.
std::atomic<DWORD> g_NextStripe{0};

}  // namespace

DWORD MeasureGate::AssignStripe() noexcept {
    const DWORD stripe = g_NextStripe.fetch_add(1, std::memory_order_relaxed) % StripeCount;
    t_StripePlusOne = stripe + 1;
    return stripe;
}

void MeasureGate::WaitForNoWriter() const noexcept {
    while (m_Writer.load(std::memory_order_acquire) != 0) {
        HostSleep(SleepMs);
    }
}

void MeasureGate::EnterWriter() noexcept {
    unsigned attempts = 0;
    while (m_Writer.exchange(1, std::memory_order_seq_cst) != 0) {
        if (++attempts > WriterSpinCount) {
            HostSleep(SleepMs);
        }
    }
    // The flag is up before the stripes are read (see EnterReader); a reader marked earlier is
    // waited for, a later one backs off.
    while (CountReaders() != 0) {
        HostSleep(SleepMs);
    }
}

DWORD MeasureGate::CountReaders() const noexcept {
    DWORD readers = 0;
    for (const Stripe& stripe : m_Stripes) {
        readers += stripe.m_Count.load(std::memory_order_seq_cst);
    }
    return readers;
}
