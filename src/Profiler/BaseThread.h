// The record of one managed thread in the thread registry: its number, whether the runtime has it
// running, the OS thread and runtime handle it is bound to, and its name. Profiler kinds derive
// their per-thread data from it. Only the registry changes these fields; any thread may read
// them, so each is published on its own (the name once, before a flag says it is there).
#pragma once

#include <atomic>

#include "Platform/Types.h"

class ThreadRegistry;

class BaseThread {
public:
    // `number` is the registry's record counter value for this record (from 1).
    explicit BaseThread(DWORD number) noexcept : m_Number(number) {}
    virtual ~BaseThread() = default;

    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    // Drops the data gathered for the thread while the record lives on (the thread still runs);
    // the base record has none. Called by the registry's DoAndDelete and Delete.
    virtual void Delete() {}

    DWORD GetNumber() const noexcept { return m_Number; }
    bool IsActive() const noexcept { return m_Active.load(std::memory_order_acquire); }
    // 0 while not bound to an OS thread.
    DWORD GetOSThreadId() const noexcept { return m_OSThreadId.load(std::memory_order_acquire); }
    // The runtime's handle of the thread, when the registry asks for handles; else null.
    HANDLE GetThreadHandle() const noexcept { return m_hThread.load(std::memory_order_acquire); }
    // How often the record was activated (merged records count every thread they served).
    DWORD GetActivationCount() const noexcept {
        return m_ActivationCount.load(std::memory_order_acquire);
    }
    bool HasName() const noexcept {
        return m_NameState.load(std::memory_order_acquire) == NAME_SET;
    }
    // Empty until named; a name, once set, never changes.
    const WString& GetName() const noexcept;

private:
    friend class ThreadRegistry;

    // Stores the name unless one is already there (or being stored); returns whether it did.
    bool TrySetName(const WString& name);

    static constexpr int NAME_NONE = 0;
    static constexpr int NAME_WRITING = 1;
    static constexpr int NAME_SET = 2;

    const DWORD m_Number;
    std::atomic<bool> m_Active{false};
    std::atomic<DWORD> m_OSThreadId{0};
    std::atomic<HANDLE> m_hThread{nullptr};
    std::atomic<DWORD> m_ActivationCount{0};
    // m_Name is written once, by the writer that moved m_NameState from NONE to WRITING; readers
    // touch it only after seeing SET.
    std::atomic<int> m_NameState{NAME_NONE};
    WString m_Name;
};
