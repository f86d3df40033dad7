// A fixed table of managed thread ids (0 marks a free slot), written by the runtime's suspending
// and resuming threads and read by the sampling thread without a lock. Each slot is claimed and
// released with a compare-and-swap, so two writers never share a slot; a full table drops the id.
#pragma once

#include <atomic>
#include <cstddef>

#include "Platform/Types.h"

template <size_t Capacity>
class ThreadIdTable {
public:
    static constexpr size_t Size = Capacity;

    // Into the first free slot.
    void Add(ThreadID id) noexcept {
        for (auto& slot : m_Slots) {
            ThreadID expected = 0;
            if (slot.compare_exchange_strong(expected, id, std::memory_order_relaxed)) {
                return;
            }
        }
    }
    // Into the first free slot unless the search meets the id first.
    void AddOnce(ThreadID id) noexcept {
        for (auto& slot : m_Slots) {
            ThreadID expected = 0;
            if (slot.compare_exchange_strong(expected, id, std::memory_order_relaxed) ||
                expected == id) {
                return;
            }
        }
    }
    // Frees the first slot holding the id.
    void RemoveFirst(ThreadID id) noexcept {
        for (auto& slot : m_Slots) {
            ThreadID expected = id;
            if (slot.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) {
                return;
            }
        }
    }
    // Frees every slot holding the id.
    void RemoveAll(ThreadID id) noexcept {
        for (auto& slot : m_Slots) {
            ThreadID expected = id;
            slot.compare_exchange_strong(expected, 0, std::memory_order_relaxed);
        }
    }
    bool Contains(ThreadID id) const noexcept {
        for (const auto& slot : m_Slots) {
            if (slot.load(std::memory_order_relaxed) == id) {
                return true;
            }
        }
        return false;
    }
    // Empties the slot and returns what it held.
    ThreadID Take(size_t index) noexcept {
        return m_Slots[index].exchange(0, std::memory_order_relaxed);
    }

private:
    std::atomic<ThreadID> m_Slots[Capacity] = {};
};
