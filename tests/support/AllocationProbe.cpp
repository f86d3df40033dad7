#include "support/AllocationProbe.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_ALLOCATION_PROBE 0
#else
#define QV_ALLOCATION_PROBE 1
#endif

namespace {

// Plain thread-local data without constructors: safe to touch from operator new at any time.
thread_local bool t_Counting = false;
thread_local std::size_t t_Allocations = 0;
thread_local std::size_t t_Largest = 0;

#if QV_ALLOCATION_PROBE
void Note(std::size_t size) noexcept {
    if (t_Counting) {
        ++t_Allocations;
        t_Largest = size > t_Largest ? size : t_Largest;
    }
}

void* Allocate(std::size_t size) {
    Note(size);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void* AllocateNoThrow(std::size_t size) noexcept {
    Note(size);
    return std::malloc(size == 0 ? 1 : size);
}
#endif

}  // namespace

bool AllocationProbe::Available() noexcept {
    return QV_ALLOCATION_PROBE != 0;
}

AllocationProbe::AllocationProbe() noexcept
    : m_Start(t_Allocations), m_OuterLargest(t_Largest), m_WasCounting(t_Counting) {
    t_Counting = true;
    t_Largest = 0;
}

AllocationProbe::~AllocationProbe() {
    t_Counting = m_WasCounting;
    // An enclosing probe saw these allocations too.
    t_Largest = m_OuterLargest > t_Largest ? m_OuterLargest : t_Largest;
}

std::size_t AllocationProbe::Count() const noexcept {
    return t_Allocations - m_Start;
}

std::size_t AllocationProbe::Largest() const noexcept {
    return t_Largest;
}

#if QV_ALLOCATION_PROBE
// The replaced allocation functions. The aligned forms stay the library's: they never reach
// these, and they free with free() as these do.
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#endif
