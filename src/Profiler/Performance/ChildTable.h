// The children of a node that has outgrown its short list: a hash table whose bucket count is a
// prime from a fixed series; a child of function f sits in the chain of bucket f mod bucket
// count, linked by the nodes' m_pNext. The bucket array follows the header in the same
// allocation. Tables live in the record's NodeArena; a replaced table is abandoned there.
#pragma once

#include "Platform/Types.h"
#include "Profiler/Performance/CallNode.h"

class NodeArena;

class ChildTable {
public:
    // A table of this size or less shares the arena's blocks; a larger one gets a block of its
    // own.
    static constexpr DWORD SharedBlockLimit = 16384;

    // The first prime of the series not below `wanted`, or the series' last.
    static DWORD BucketCountFor(DWORD wanted) noexcept;
    // An empty table with BucketCountFor(wanted) buckets.
    static ChildTable* Create(NodeArena& arena, DWORD wanted);

    DWORD GetCount() const noexcept { return m_Count; }
    void SetCount(DWORD count) noexcept { m_Count = count; }
    DWORD GetBucketCount() const noexcept { return m_BucketCount; }

    CallNode** GetBuckets() noexcept { return reinterpret_cast<CallNode**>(this + 1); }
    CallNode* const* GetBuckets() const noexcept {
        return reinterpret_cast<CallNode* const*>(this + 1);
    }
    // The head of the chain that holds (or would hold) children of this function.
    CallNode*& BucketOf(DWORD fuid) noexcept {
        return GetBuckets()[Remainder(fuid, m_BucketCount, m_Inverse)];
    }

    // fuid mod `divisor`, by multiplication with InverseOf(divisor): a hardware division costs
    // more than the rest of a hook's look-up.
    static uint64_t InverseOf(DWORD divisor) noexcept { return ~uint64_t{0} / divisor + 1; }
    static DWORD Remainder(DWORD fuid, DWORD divisor, uint64_t inverse) noexcept {
        const uint64_t fraction = inverse * fuid;  // the fractional part of fuid / divisor
        // The top 64 bits of fraction x divisor, with 64-bit products only.
        const uint64_t low = (fraction & 0xFFFFFFFF) * divisor;
        const uint64_t high = (fraction >> 32) * divisor;
        return static_cast<DWORD>((high + (low >> 32)) >> 32);
    }

    // Puts the node at the head of its bucket's chain; the count is the caller's.
    void PushFront(CallNode* pNode) noexcept {
        CallNode*& head = BucketOf(pNode->m_Fuid);
        pNode->m_pNext = head;
        head = pNode;
    }

private:
    ChildTable(DWORD bucketCount) noexcept
        : m_Count(0), m_BucketCount(bucketCount), m_Inverse(InverseOf(bucketCount)) {}

    DWORD m_Count;
    DWORD m_BucketCount;
    uint64_t m_Inverse;  // InverseOf(m_BucketCount)
};

static_assert(sizeof(ChildTable) % sizeof(void*) == 0, "the bucket array follows the header");
