// The host's thread services. The host agent implements this interface; the profiler calls it by
// slot, so the order of the operations below is fixed.
#pragma once

#include "Platform/Types.h"

using PALThreadHandle = void*;
using PALThreadProc = DWORD (*)(void* pContext);

// Returned by WaitForThread when the time ran out with the thread still running.
constexpr HRESULT PAL_E_TIMEOUT = MakeHResult(0x80000019);

struct IPALThreads : IUnknown {
    // Slot 3. The thread is created suspended; it runs the procedure only after StartThread.
    virtual HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc pProc, void* pContext,
                                                   DWORD passValue, DWORD reserved,
                                                   PALThreadHandle* phThread) = 0;
    // Slot 4.
    virtual HRESULT STDMETHODCALLTYPE StartThread(PALThreadHandle hThread) = 0;
    // Slot 5. Releases a handle; a running thread goes on without it.
    virtual HRESULT STDMETHODCALLTYPE CloseThread(PALThreadHandle hThread) = 0;
    // Slot 6.
    virtual HRESULT STDMETHODCALLTYPE Sleep(DWORD milliseconds) = 0;
    // Slot 7. The OS thread id of a started thread, readable as soon as StartThread has returned.
    virtual HRESULT STDMETHODCALLTYPE GetThreadId(PALThreadHandle hThread, DWORD* pOsThreadId) = 0;
    // Slot 8. 0 polls, INFINITE waits without limit; PAL_E_TIMEOUT while the thread still runs
    // (or was created and not yet started), any other value once it has ended. A thread whose
    // start failed counts as ended.
    virtual HRESULT STDMETHODCALLTYPE WaitForThread(PALThreadHandle hThread,
                                                    DWORD milliseconds) = 0;
};

// {64AF23A2-3CF5-4B1B-8B20-6F60EED636FF}
constexpr IID IID_IPALThreads = {0x64AF23A2, 0x3CF5, 0x4B1B,
                                 {0x8B, 0x20, 0x6F, 0x60, 0xEE, 0xD6, 0x36, 0xFF}};
