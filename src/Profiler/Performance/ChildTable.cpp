#include "Profiler/Performance/ChildTable.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "Profiler/Performance/NodeArena.h"

namespace {

// Roughly doubling primes; a table grows to the first one that holds the wanted count.
constexpr DWORD BucketCounts[] = {
    3,        7,         13,        23,        47,         101,        199,      397,
    797,      1597,      3191,      6397,      12799,      25589,      51199,    102397,
    204793,   409579,    819157,    2295859,   4591721,    9183457,    18366923, 36733847,
    73467739, 146935499, 293871013, 587742049, 1175484103, 2350968209u};

}  // namespace

DWORD ChildTable::BucketCountFor(DWORD wanted) noexcept {
    const DWORD* pFound =
        std::lower_bound(std::begin(BucketCounts), std::end(BucketCounts), wanted);
    return pFound != std::end(BucketCounts) ? *pFound : BucketCounts[std::size(BucketCounts) - 1];
}

ChildTable* ChildTable::Create(NodeArena& arena, DWORD wanted) {
    const DWORD bucketCount = BucketCountFor(wanted);
    const uint64_t bytes = sizeof(ChildTable) + uint64_t{sizeof(CallNode*)} * bucketCount;
    if (bytes > 0xFFFFFFFF - NodeArena::BlockSize) {
        throw std::bad_alloc();
    }
    void* pMemory = bytes <= SharedBlockLimit ? arena.Allocate(static_cast<DWORD>(bytes))
                                              : arena.AllocateSeparate(static_cast<DWORD>(bytes));
    auto* pTable = new (pMemory) ChildTable(bucketCount);
    std::fill_n(pTable->GetBuckets(), bucketCount, nullptr);
    return pTable;
}
