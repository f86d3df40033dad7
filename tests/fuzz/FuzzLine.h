// The host's bridge service for the bridge fuzzer: StartService runs the bridge's service
// procedure on a thread of its own over a connection on which the controller sends the fuzz input
// and then hangs up (a read after the last byte fails, as a closed connection does). What the
// profiler writes is taken and dropped.
//
// So that one input always plays out the same way, the controller waits for the profiler's
// command thread as a real controller waits for its messages: once the handshake is over, no
// byte is handed to the bridge's worker while the command thread is busy, that is while it runs
// or has queued calls and is not blocked waiting for a reply. Command boundaries come from
// reading the served bytes with the measure processor's command table.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "Platform/Types.h"
#include "WinCE/IPALTools.h"

class FuzzLine final : public IPALTools {
public:
    // What a read returns once the input is used up: the controller hung up.
    static constexpr HRESULT ConnectionClosed = MakeHResult(0x8007006D);
    // Longest wait for the command thread before the profiler side counts as hung.
    static constexpr std::chrono::seconds Patience{10};

    // The input must outlive the line.
    FuzzLine(const uint8_t* pData, size_t size);
    // Joins the service thread.
    ~FuzzLine();

    FuzzLine(const FuzzLine&) = delete;
    FuzzLine& operator=(const FuzzLine&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_References; }

    HRESULT STDMETHODCALLTYPE StartService(LPCWSTR serviceId, DWORD reserved0, PALServiceProc pProc,
                                           DWORD reserved1, void* pContext) override;
    HRESULT STDMETHODCALLTYPE Write(PALStreamHandle hStream, const void* pData,
                                    DWORD length) override;
    HRESULT STDMETHODCALLTYPE Read(PALStreamHandle hStream, void* pBuffer, DWORD capacity,
                                   DWORD* pRead) override;
    HRESULT STDMETHODCALLTYPE CloseStream(PALStreamHandle hStream) override;

    // The handshake is over: the worker reads commands from here on. Called on the worker thread
    // before the command processor exists.
    void BeginCommands();
    // The harness has switched commands on (or given up on it): commands may flow.
    void Open();
    // The command thread has finished one call of the event sink.
    void CallEnded();

    // Waits for the service procedure to return; false when it has not within twice Patience.
    bool WaitForServiceEnd(DWORD* pResult);
    ULONG References() const { return m_References.load(); }
    unsigned CloseStreamCalls() const { return m_CloseStreamCalls.load(); }

private:
    // Blocks the worker while the command thread is busy; aborts the run when that lasts longer
    // than Patience, since the profiler side has then hung.
    void WaitUntilQuiet(std::unique_lock<std::mutex>& lock);
    // Follows the command stream over bytes handed to the worker.
    void Served(const BYTE* pBytes, size_t count);
    void CommandComplete(BYTE code);
    bool IsQuiet() const;

    const uint8_t* const m_pData;
    const size_t m_Size;
    std::atomic<ULONG> m_References{0};
    std::atomic<unsigned> m_CloseStreamCalls{0};
    std::thread m_ServiceThread;

    // Guards every field below. Taken by the worker (reads), the command thread (requests, call
    // ends), and the harness thread (open, service end); never held while calling the profiler.
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    size_t m_Position = 0;
    bool m_Commands = false;
    // The harness has finished switching commands on.
    bool m_Opened = false;
    // Calls queued for the command thread (served Start, StopDrop, StopSave) and not yet over.
    int m_PendingCalls = 0;
    // The command thread is blocked in a request until its reply arrives.
    bool m_RequestWaiting = false;
    // The command being served and how many of its payload bytes are still to come.
    BYTE m_Code = 0;
    size_t m_PayloadLeft = 0;
    // An unknown code was served: the worker ends there, nothing more is followed.
    bool m_OutOfStep = false;
    bool m_ServiceEnded = false;
    bool m_StreamClosed = false;
    DWORD m_ServiceResult = 0;
};
