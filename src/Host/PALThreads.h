// The host's thread services over POSIX threads. A created thread does not exist as an OS thread
// until it is started; a closed handle lets a still-running thread finish and clean up alone.
#pragma once

#include <atomic>
#include <mutex>
#include <unordered_set>

#include "WinCE/IPALThreads.h"

class PALThreads final : public IPALThreads {
public:
    // The object starts with one reference, owned by the creator.
    PALThreads();

    PALThreads(const PALThreads&) = delete;
    PALThreads& operator=(const PALThreads&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc pProc, void* pContext, DWORD passValue,
                                           DWORD reserved, PALThreadHandle* phThread) override;
    HRESULT STDMETHODCALLTYPE StartThread(PALThreadHandle hThread) override;
    HRESULT STDMETHODCALLTYPE CloseThread(PALThreadHandle hThread) override;
    HRESULT STDMETHODCALLTYPE Sleep(DWORD milliseconds) override;
    HRESULT STDMETHODCALLTYPE GetThreadId(PALThreadHandle hThread, DWORD* pOsThreadId) override;
    HRESULT STDMETHODCALLTYPE WaitForThread(PALThreadHandle hThread, DWORD milliseconds) override;

private:
    // One thread's shared state; held by its handle and, while it runs, by the thread itself.
    struct Record;

    // Only Release destroys the object; handles still open are closed then.
    ~PALThreads();

    // Takes a reference on the record named by a handle of this object, or returns null.
    Record* AcquireRecord(PALThreadHandle hThread);
    static void* ThreadMain(void* pArg);

    std::atomic<ULONG> m_RefCount{1};

    // Guards m_OpenHandles: the records whose handles were created here and not yet closed. Taken
    // briefly by every operation on a handle, from any thread; never held while waiting.
    std::mutex m_HandlesLock;
    std::unordered_set<Record*> m_OpenHandles;
};
