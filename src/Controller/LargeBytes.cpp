#include "Controller/LargeBytes.h"

#include <algorithm>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace Controller {

namespace {

constexpr size_t LargeSize = size_t{2} << 20;
constexpr size_t LargeReservation = size_t{256} << 20;

// Only whole pages inside the storage are advised; a refusal (no such support) changes nothing.
void AdviseHugePages(BYTE* pData, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(pData) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(pData) + size) & ~(page - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)pData;
    (void)size;
#endif
}

}  // namespace

std::vector<BYTE> ReserveBytes(size_t capacity) {
    std::vector<BYTE> bytes;
    bytes.reserve(capacity);
    if (capacity >= LargeSize) {
        // Before anything touches the storage, so its first writes already fault in huge pages.
        AdviseHugePages(bytes.data(), capacity);
    }
    return bytes;
}

void ResizeBytes(std::vector<BYTE>& bytes, size_t size, size_t limit) {
    if (size > bytes.capacity() && size >= LargeSize) {
        const size_t doubled = std::max(size, std::min(bytes.capacity() * 2, limit));
        const size_t reservation = std::min(LargeReservation, limit);
        std::vector<BYTE> grown;
        if (sizeof(void*) >= 8 && doubled < reservation) {
            try {
                grown = ReserveBytes(reservation);
            } catch (const std::bad_alloc&) {
                // A system that refuses to promise the address space still gets the doubling.
            }
        }
        if (grown.capacity() == 0) {
            grown = ReserveBytes(doubled);
        }
        grown.assign(bytes.begin(), bytes.end());
        bytes.swap(grown);
    }
    bytes.resize(size);
}

}  // namespace Controller
