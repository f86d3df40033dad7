#include "WinCE/Bridge.h"

#include <algorithm>
#include <stdexcept>

#include "Platform/Clock.h"
#include "Platform/Com.h"
#include "Util/Assert.h"
#include "Util/CatchAtEdge.h"
#include "Util/ComRef.h"
#include "Util/Log.h"
#include "Util/PeError.h"

class Bridge::PALCall {
public:
    explicit PALCall(Bridge& bridge) : m_Calls(bridge.m_PALCalls) {
        // Counted before the load: either the dropper sees this call, or this load sees null.
        m_Calls.fetch_add(1);
        m_pTools = bridge.m_pPALTools.load();
        if (m_pTools == nullptr) {
            m_Calls.fetch_sub(1);
            throw _com_error(E_POINTER);
        }
    }
    ~PALCall() { m_Calls.fetch_sub(1); }

    PALCall(const PALCall&) = delete;
    PALCall& operator=(const PALCall&) = delete;

    IPALTools* operator->() const { return m_pTools; }
    IPALTools* Get() const { return m_pTools; }

private:
    std::atomic<unsigned>& m_Calls;
    IPALTools* m_pTools;
};

Bridge::Bridge(const GUID& processGuid, const WCHAR* pServiceId, IPALTools* pPALTools,
               SleepFunction pSleep)
    : BaseBridge(processGuid),
      m_ServiceId(pServiceId != nullptr ? pServiceId : u""),
      m_pSleep(pSleep != nullptr ? pSleep : &Platform::Sleep),
      m_pPALTools(pPALTools) {
    if (pPALTools != nullptr) {
        pPALTools->AddRef();
    }
}

Bridge::~Bridge() {
    StopWorker();
    DropPALTools();
}

bool Bridge::IsLogged() const {
    return Log::IsEnabled(LogComponent::Bridge);
}

void Bridge::Connect() {
    try {
        m_Running = false;
        m_StopRequested = false;
        m_Finished = false;
        m_Launched = false;
        if (IsLogged()) {
            Log::Format("B::Connect serviceID='%S'", m_ServiceId.c_str());
        }
        // A reference of our own rather than a pinned call: the worker may end, and drop the
        // bridge's reference, before the host returns from starting it.
        ComRef<IPALTools> pTools;
        {
            PALCall pal(*this);
            pTools = pal.Get();
        }
        m_Launched = true;
        const HRESULT hr = pTools->StartService(m_ServiceId.c_str(), 0, &WorkerProc, 0, this);
        if (FAILED(hr)) {
            m_Launched = false;
            throw _pe_error("Can't start service", hr);
        }
        for (DWORD waited = 0;; waited += PollInterval) {
            if (m_Running) {
                return;
            }
            if (m_Finished) {
                throw std::runtime_error("Thread abnormally finished");
            }
            if (waited >= HandshakeTimeout) {
                throw std::runtime_error(
                    "The controller did not complete the handshake within 10 seconds");
            }
            m_pSleep(PollInterval);
        }
    } catch (...) {
        LogEdgeFailure([this] { Close(); });
        throw;
    }
}

void Bridge::Close() {
    if (IsLogged()) {
        Log::Message("B::Close");
    }
    StopWorker();
    DropPALTools();
    BaseBridge::Close();
}

void Bridge::StopWorker() {
    m_StopRequested = true;
    while (m_Launched && !m_Finished) {
        m_pSleep(PollInterval);
    }
}

void Bridge::DropPALTools() noexcept {
    IPALTools* pTools = m_pPALTools.exchange(nullptr);
    if (pTools == nullptr) {
        return;
    }
    while (m_PALCalls.load() != 0) {
        Platform::Sleep(1);
    }
    pTools->Release();
}

DWORD Bridge::WorkerProc(PALStreamHandle hStream, void* pContext) {
    return static_cast<Bridge*>(pContext)->DoWorkThread(hStream);
}

DWORD Bridge::DoWorkThread(PALStreamHandle hStream) {
    if (IsLogged()) {
        Log::Message("B::DoWorkThread");
    }
    DWORD result = ResultNoConnection;
    if (hStream != nullptr) {
        m_hConnection = hStream;
        const bool completed = LogEdgeFailure([this] {
            try {
                TryConnect();
                RunCommandLoop();
            } catch (const StopReading&) {
                // Close asked the worker to stop while it waited for the controller.
            }
        });
        // A stop that came before the handshake completed ends a failed connection.
        result = completed && m_Running ? 0 : ResultFailed;
        EndReplies();
        m_hConnection = nullptr;
        LogEdgeFailure([this, hStream] {
            PALCall pal(*this);
            pal->CloseStream(hStream);
        });
    }
    // Even without a connection the end is reported, so that a waiting Connect fails.
    DropPALTools();
    m_Finished = true;
    return result;
}

void Bridge::RunCommandLoop() {
    CommandProcessor* pProcessor = GetCommandProcessor();
    QV_ASSERT(pProcessor != NULL);
    if (pProcessor == nullptr) {
        throw std::runtime_error("No command processor");
    }
    m_Running = true;
    while (!m_StopRequested) {
        pProcessor->ReadCommand();
    }
}

void Bridge::Read(void* buffer, size_t count) {
    if (IsLogged()) {
        Log::Format("B::Read size=%u", static_cast<unsigned>(count));
    }
    auto* pOut = static_cast<BYTE*>(buffer);
    while (count != 0) {
        if (m_StopRequested) {
            throw StopReading{};
        }
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, PAL_MAX_TRANSFER));
        DWORD read = 0;
        HRESULT hr = S_OK;
        {
            PALCall pal(*this);
            hr = pal->Read(m_hConnection.load(), pOut, chunk, &read);
        }
        if (FAILED(hr)) {
            throw _pe_error("Can't write data", hr);
        }
        if (read == 0) {
            m_pSleep(PollInterval);
            continue;
        }
        read = std::min(read, chunk);
        pOut += read;
        count -= read;
    }
}

void Bridge::Write(const void* data, size_t count) {
    if (IsLogged()) {
        Log::Format("B::Write size=%u", static_cast<unsigned>(count));
    }
    const auto* pIn = static_cast<const BYTE*>(data);
    while (count != 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, PAL_MAX_TRANSFER));
        HRESULT hr = S_OK;
        {
            PALCall pal(*this);
            hr = pal->Write(m_hConnection.load(), pIn, chunk);
        }
        if (FAILED(hr)) {
            throw _pe_error("Can't write data", hr);
        }
        pIn += chunk;
        count -= chunk;
    }
}
