// Bump allocator for one call tree: nodes and child tables are carved from 64 KiB heap blocks,
// so entering a new call costs no heap call, and the whole tree is freed at once. Nothing is
// freed singly; an allocation that does not fit in the current block opens a new one and the
// rest of the old one is abandoned.
//
// Used by one thread at a time (the record's own hooks, or the profiler while hooks are kept
// out), so it takes no lock.
#pragma once

#include <atomic>

#include "Platform/Types.h"
#include "Profiler/Performance/CallNode.h"

class NodeArena {
public:
    static constexpr DWORD BlockSize = 65536;
    // Every allocation is a multiple of this, which keeps nodes and tables pointer-aligned.
    static constexpr DWORD Granule = sizeof(void*);

    NodeArena() = default;
    ~NodeArena() { Free(); }

    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;

    // `bytes` must be a multiple of Granule and fit in a block after its link.
    void* Allocate(DWORD bytes) {
        if (bytes <= m_Remaining) {
            void* p = m_pNextFree;
            m_pNextFree += bytes;
            m_Remaining -= bytes;
            return p;
        }
        return AllocateInNewBlock(bytes);
    }
    // A heap block of its own, for allocations too large to share a block: chained and counted
    // like the others, freed with them. Leaves the current block as it is.
    void* AllocateSeparate(DWORD bytes);

    // A zeroed node of the function.
    CallNode* NewNode(DWORD fuid) {
        auto* pNode = static_cast<CallNode*>(Allocate(sizeof(CallNode)));
        *pNode = CallNode{fuid, 0, nullptr, 0, 0};
        return pNode;
    }

    void Free() noexcept;
    // Bytes obtained from the heap, block links included. Safe to read from another thread (the
    // flush check reads it while the record's own thread grows the arena).
    DWORD GetTotalBytes() const noexcept { return m_TotalBytes.load(std::memory_order_relaxed); }

private:
    // The first bytes of every block link it to the block obtained before it.
    struct BlockLink {
        BlockLink* m_pPrevious;
    };
    static_assert(sizeof(BlockLink) % Granule == 0);
    static_assert(sizeof(CallNode) % Granule == 0);

    void* AllocateInNewBlock(DWORD bytes);
    // Obtains a block of `bytes` (link included) and chains it.
    BYTE* ObtainBlock(DWORD bytes);

    DWORD m_Remaining = 0;
    BYTE* m_pNextFree = nullptr;
    BlockLink* m_pBlocks = nullptr;  // the newest block; each links the one before
    // Written by the owning thread only; a relaxed counter, since readers want an estimate.
    std::atomic<DWORD> m_TotalBytes{0};
};
