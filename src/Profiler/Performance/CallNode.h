// One node of a thread's call tree: a function reached along one path of calls, with its inclusive
// time and call count. Nodes live in the record's NodeArena and are never freed one by one.
//
// The children field holds null, the first child of a short list (linked by m_pNext), or the
// address of a ChildTable with the low bit set; nodes and tables are at least 4-byte aligned, so
// the bit is free.
#pragma once

#include "Platform/Types.h"

class ChildTable;

struct CallNode {
    // Time word: bits 0 to 55 hold the total time, the top byte holds flags.
    static constexpr UINT64 TimeMask = (UINT64{1} << 56) - 1;
    static constexpr UINT64 MeasuredPartlyFlag = UINT64{1} << 63;
    static constexpr UINT64 SpecialFlag = UINT64{1} << 62;
    static constexpr DWORD MaxCallCount = 0xFFFFFFFF;
    static constexpr UINT_PTR TableTag = 1;

    DWORD m_Fuid;       // 0 for the root
    DWORD m_CallCount;  // stops at MaxCallCount
    CallNode* m_pNext;  // next sibling in the parent's list or hash chain
    UINT_PTR m_Children;
    UINT64 m_Time;

    bool HasTable() const noexcept { return (m_Children & TableTag) != 0; }
    ChildTable* GetTable() const noexcept {
        return reinterpret_cast<ChildTable*>(m_Children & ~TableTag);
    }
    // The first child of the list; only when !HasTable().
    CallNode* GetList() const noexcept { return reinterpret_cast<CallNode*>(m_Children); }
    bool HasChildren() const noexcept { return m_Children != 0; }
    UINT64 GetTotalTime() const noexcept { return m_Time & TimeMask; }

    void CountCall() noexcept {
        if (m_CallCount != MaxCallCount) {
            ++m_CallCount;
        }
    }
    // Forgets children, count and time (the children's memory belongs to the arena).
    void Reset() noexcept {
        m_Children = 0;
        m_CallCount = 0;
        m_Time = 0;
    }
};

// Two pointers and four 32-bit words: 24 bytes on the device's 32-bit build, 32 on 64-bit.
static_assert(sizeof(CallNode) == 2 * sizeof(void*) + 16, "CallNode must stay packed");
