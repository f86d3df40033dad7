#include "Controller/LargeBytes.h"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace Controller {

namespace {

constexpr size_t LargeSize = size_t{2} << 20;

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

void ResizeBytes(std::vector<BYTE>& bytes, size_t size) {
    if (size > bytes.capacity() && size >= LargeSize) {
        const size_t capacity = std::max(size, std::min(bytes.capacity() * 2, bytes.max_size()));
        std::vector<BYTE> grown;
        grown.reserve(capacity);
        // Advised before anything touches the new storage, so the copy below already faults in
        // huge pages.
        AdviseHugePages(grown.data(), capacity);
        grown.assign(bytes.begin(), bytes.end());
        bytes.swap(grown);
    }
    bytes.resize(size);
}

}  // namespace Controller
