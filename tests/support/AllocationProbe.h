// Counts the calls of the global operator new made on the calling thread while a probe is alive
// there, and notes the largest one. This file's object replaces the global operator new and delete
// of the test binary; they count nothing on other threads or outside a probe, so other tests see
// the usual allocator. Sanitizer builds keep the sanitizer's own allocation functions (and their
// new/delete mismatch checks): there the probe is not available and counts nothing.
#pragma once

#include <cstddef>

class AllocationProbe {
public:
    AllocationProbe() noexcept;
    ~AllocationProbe();

    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    static bool Available() noexcept;

    // Allocations on this thread since the probe was made.
    std::size_t Count() const noexcept;
    // The size of the largest of them (0 for none).
    std::size_t Largest() const noexcept;

private:
    std::size_t m_Start;
    std::size_t m_OuterLargest;
    bool m_WasCounting;
};
