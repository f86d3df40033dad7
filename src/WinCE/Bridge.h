// The device-side end of the connection to the controller, over the host's bridge service. Connect
// asks the host to start the profiler kind's service; the host then runs the worker procedure on a
// thread of its own with a connection handle. The worker runs the handshake and keeps reading
// controller commands until Close asks it to stop.
//
// The host reference is dropped exactly once, by the worker when it ends or by Close, whichever
// comes first; calls in flight on other threads finish before it goes.
#pragma once

#include <atomic>

#include "Bridge/BaseBridge.h"
#include "Platform/Types.h"
#include "WinCE/IPALTools.h"

class Bridge : public BaseBridge {
public:
    using SleepFunction = void (*)(DWORD milliseconds);

    static constexpr DWORD PollInterval = 100;
    // How long Connect waits for the controller to complete the handshake. A controller answers
    // at once; one that accepted and went silent must not hold the program at start-up.
    static constexpr DWORD HandshakeTimeout = 10000;
    // Result of a worker given no connection.
    static constexpr DWORD ResultNoConnection = 0x80000003;
    // Result of a worker ended by a failure.
    static constexpr DWORD ResultFailed = 0x80000000;

    // Takes a reference of its own on pPALTools (which may be null: Connect then raises the
    // invalid-pointer error). pSleep serves the 100 ms pauses of Connect, Close and Read.
    Bridge(const GUID& processGuid, const WCHAR* pServiceId, IPALTools* pPALTools,
           SleepFunction pSleep = nullptr);
    // Waits for a worker still running, like Close.
    ~Bridge() override;

    // Raises on a short read or a host failure ("Can't write data" with the host's code). An
    // empty host read pauses 100 ms and asks again. Once Close asked the worker to stop, a read
    // gives up instead of waiting for a controller that may never send again. Runs on the worker
    // thread only.
    void Read(void* buffer, size_t count) override;
    // Returns once the handshake has succeeded. A host that cannot start the service raises
    // "Can't start service"; a worker that ends first raises "Thread abnormally finished"; a
    // handshake still incomplete after HandshakeTimeout raises and ends the worker.
    void Connect() override;
    // Stops the worker (it sees the request at its next read, within one poll interval when the
    // controller is silent) and waits for it, then closes the command processor.
    void Close() override;
    // In chunks of at most 16384 bytes. Callers serialise whole messages.
    void Write(const void* data, size_t count) override;

private:
    // Pins the host reference for one call, so that dropping it waits for the call to finish.
    class PALCall;
    // Raised by Read on the worker thread when Close asked it to stop: an end, not a failure.
    struct StopReading {};

    static DWORD WorkerProc(PALStreamHandle hStream, void* pContext);
    DWORD DoWorkThread(PALStreamHandle hStream);
    void RunCommandLoop();
    // Sets the stop request and waits until no worker is between launch and end.
    void StopWorker();
    void DropPALTools() noexcept;
    bool IsLogged() const;

    const WString m_ServiceId;
    const SleepFunction m_pSleep;

    // Set by the worker once the handshake succeeded.
    std::atomic<bool> m_Running{false};
    // Set by Close, polled by the worker between commands.
    std::atomic<bool> m_StopRequested{false};
    // Set by the worker as its very last step.
    std::atomic<bool> m_Finished{false};
    // Set by Connect before it asks the host to start the service, cleared when the host
    // refuses: while set and m_Finished is not, a worker may still be using this object.
    std::atomic<bool> m_Launched{false};

    // Null once dropped; exchanged to null by whichever side drops it.
    std::atomic<IPALTools*> m_pPALTools;
    // Calls through m_pPALTools in flight; the dropper waits for them.
    std::atomic<unsigned> m_PALCalls{0};
    // The worker's connection; null outside the worker's lifetime.
    std::atomic<PALStreamHandle> m_hConnection{nullptr};
};
