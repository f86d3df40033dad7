// A host thread service for tests: every operation fails with E_NOTIMPL until a test overrides it.
// Reference counting is real; the object lives on the test's stack or heap as the test likes.
#pragma once

#include <atomic>

#include "WinCE/IPALThreads.h"

class PALThreadsStub : public IPALThreads {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (riid == IID_IUnknown || riid == IID_IPALThreads) {
            *ppvObject = static_cast<IPALThreads*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_References; }

    HRESULT STDMETHODCALLTYPE CreateThread(PALThreadProc, void*, DWORD, DWORD,
                                           PALThreadHandle*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE StartThread(PALThreadHandle) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloseThread(PALThreadHandle) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Sleep(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetThreadId(PALThreadHandle, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE WaitForThread(PALThreadHandle, DWORD) override { return E_NOTIMPL; }

    ULONG References() const { return m_References; }

protected:
    ~PALThreadsStub() = default;

private:
    std::atomic<ULONG> m_References{0};
};
