#include "Profiler/Performance/NodeArena.h"

#include <new>
#include <stdexcept>

void* NodeArena::AllocateSeparate(DWORD bytes) {
    if (bytes > 0xFFFFFFFF - sizeof(BlockLink)) {
        throw std::bad_alloc();
    }
    return ObtainBlock(static_cast<DWORD>(sizeof(BlockLink) + bytes)) + sizeof(BlockLink);
}

void* NodeArena::AllocateInNewBlock(DWORD bytes) {
    if (bytes > BlockSize - sizeof(BlockLink)) {
        throw std::bad_alloc();
    }
    BYTE* pBlock = ObtainBlock(BlockSize);
    m_pNextFree = pBlock + sizeof(BlockLink) + bytes;
    m_Remaining = static_cast<DWORD>(BlockSize - sizeof(BlockLink) - bytes);
    return pBlock + sizeof(BlockLink);
}

BYTE* NodeArena::ObtainBlock(DWORD bytes) {
    auto* pBlock = static_cast<BYTE*>(::operator new(bytes));
    auto* pLink = reinterpret_cast<BlockLink*>(pBlock);
    pLink->m_pPrevious = m_pBlocks;
    m_pBlocks = pLink;
    m_TotalBytes.store(m_TotalBytes.load(std::memory_order_relaxed) + bytes,
                       std::memory_order_relaxed);
    return pBlock;
}

void NodeArena::Free() noexcept {
    while (m_pBlocks != nullptr) {
        BlockLink* pPrevious = m_pBlocks->m_pPrevious;
        ::operator delete(m_pBlocks);
        m_pBlocks = pPrevious;
    }
    m_Remaining = 0;
    m_pNextFree = nullptr;
    m_TotalBytes.store(0, std::memory_order_relaxed);
}
