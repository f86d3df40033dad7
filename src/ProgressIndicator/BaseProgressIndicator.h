// Turns an operation's count of work units into a monotone value on a fixed scale and passes on
// only increases. Internally a unit is worth m_Multiplier steps, chosen so that the whole 32-bit
// range is used; a child indicator covers a share of its parent's units in those internal steps,
// so nested work needs no knowledge of the whole.
//
// No virtual destructor: indicators are destroyed as their own type, never through this base.
#pragma once

#include "Platform/Types.h"

class BaseProgressIndicator {
public:
    BaseProgressIndicator(const BaseProgressIndicator&) = delete;
    BaseProgressIndicator& operator=(const BaseProgressIndicator&) = delete;

    virtual DWORD GetMultiplier() { return m_Multiplier; }
    // Adds internal steps.
    virtual void AddRaw(DWORD units);
    // Fixes the total number of work units; "Can't begin twice" once anything was counted.
    virtual void Begin(DWORD total);
    // Adds work units; going past the total raises "Invalid current value".
    virtual void Step(DWORD count);
    // Marks the work complete.
    virtual void End();

    DWORD GetReported() const { return m_Reported; }

protected:
    explicit BaseProgressIndicator(DWORD scale) : m_Scale(scale) {}
    ~BaseProgressIndicator() = default;

    // Called with the increase and the new value whenever the value on the scale grows.
    virtual void OnProgress(DWORD delta, DWORD value) = 0;

private:
    // Moves the work done to `current` (internal steps) and reports a grown value. Counters stay
    // unchanged when a check fails.
    void Update(uint64_t current);
    // The internal steps at which the value next grows, from the reported value.
    uint64_t NextReport() const;

    const DWORD m_Scale;     // the value that means complete
    DWORD m_Reported = 0;    // the last value passed on
    DWORD m_Maximum = 0;     // total x m_Multiplier after Begin
    DWORD m_Current = 0;     // work done, in internal steps
    DWORD m_Multiplier = 1;  // internal steps per work unit
    uint64_t m_Next = 0;     // NextReport(); below it an update reports nothing
};
