// Proves the vtable layout of a COM-style interface: a recording implementation notes the name
// of each method called, and the check calls every slot through the raw vtable, the way the
// runtime and the host call us, comparing the recorded name with the published one.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

// The recording implementations ignore their arguments, so a slot can be called with the object
// pointer alone: with the System V x86-64 and the i386 cdecl conventions of our builds, the callee
// finds `this` where it expects it and the caller pops whatever it pushed.
class SlotRecorder {
public:
    const char* m_pLastCalled = nullptr;

protected:
    void Record(const char* pName) {
        m_pLastCalled = pName;
    }
};

// Declares a recording override. `return Type();` also works for void.
#define QV_RECORD(Type, Name, Params)             \
    Type STDMETHODCALLTYPE Name Params override { \
        Record(#Name);                            \
        return Type();                            \
    }

#define QV_RECORD_IUNKNOWN                               \
    QV_RECORD(HRESULT, QueryInterface, (REFIID, void**)) \
    QV_RECORD(ULONG, AddRef, ())                         \
    QV_RECORD(ULONG, Release, ())

struct PublishedSlot {
    size_t slot;
    const char* pName;
};

// Calls each slot of pInterface (whose recorder is pRecorder) and checks the recorded name. The
// table must list every slot from 0 up, each once, so a missing or extra row fails too.
template <size_t N>
void ExpectSlotOrder(void* pInterface, SlotRecorder* pRecorder, const PublishedSlot (&table)[N]) {
    using SlotFunction = void (*)(void*);
    SlotFunction* pVtable = *static_cast<SlotFunction**>(pInterface);
    size_t expectedSlot = 0;
    for (const PublishedSlot& row : table) {
        ASSERT_EQ(expectedSlot, row.slot)
            << "the table skips or repeats a slot before " << row.pName;
        ++expectedSlot;
        pRecorder->m_pLastCalled = nullptr;
        pVtable[row.slot](pInterface);
        ASSERT_NE(nullptr, pRecorder->m_pLastCalled) << "slot " << row.slot;
        EXPECT_STREQ(row.pName, pRecorder->m_pLastCalled) << "slot " << row.slot;
    }
}
