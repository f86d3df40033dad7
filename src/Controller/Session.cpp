#include "Controller/Session.h"

#include <stdexcept>
#include <string>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/ConnectionError.h"
#include "Controller/ControllerHandshake.h"
#include "Controller/ProfilerMessageHandler.h"
#include "Controller/ProtocolConstants.h"

namespace Controller {

Session::Session(SessionOptions options) : m_Options(std::move(options)) {}

Session::~Session() {
    Close();
}

WORD Session::Listen(WORD port) {
    return m_Listener.Listen(port);
}

const ProcessInfo& Session::Accept(DWORD milliseconds) {
    if (!m_Listener.IsListening() || m_Accepted) {
        throw std::runtime_error(m_Accepted ? "The session has already accepted its process"
                                            : "The session is not listening: call Listen first");
    }
    const Platform::SocketHandle socket = m_Listener.Accept(milliseconds);
    if (socket == nullptr) {
        throw std::runtime_error(
            "No profiled process connected to 127.0.0.1:" + std::to_string(m_Listener.GetPort()) +
            " within " + std::to_string(milliseconds) +
            " ms: check that QUORVELAN_PROFILER_BRIDGE reached the program and that the runtime "
            "loaded the profiler");
    }
    // One process per session: later ones are refused at once instead of waiting.
    m_Listener.Close();
    return Adopt(socket);
}

const ProcessInfo& Session::Adopt(Platform::SocketHandle socket) {
    if (m_Accepted) {
        Platform::CloseSocket(socket);
        throw std::runtime_error("The session has already accepted its process");
    }
    m_Accepted = true;
    ConnectionStream* pConnection = new ConnectionStream(socket);
    {
        std::lock_guard<std::mutex> guard(m_SendLock);
        m_pConnection.reset(pConnection);
    }
    pConnection->SetReadTimeout(m_Options.handshakeTimeout);
    try {
        m_ProcessInfo = ControllerHandshake::Run(*pConnection, *pConnection, m_Options);
    } catch (const std::exception&) {
        pConnection->Shutdown();
        throw;
    }
    if (m_ProcessInfo.outcome != HandshakeOutcome::Running) {
        // The profiler ends the connection on a refusal; let it read our answer first.
        pConnection->CloseGracefully(m_Options.handshakeTimeout);
        PushEvent(EventKind::Disconnected, "the handshake ended with a refusal");
        return m_ProcessInfo;
    }
    pConnection->SetReadTimeout(INFINITE);
    StartThreads();
    return m_ProcessInfo;
}

void Session::StartThreads() {
    {
        std::lock_guard<std::mutex> guard(m_SendLock);
        m_LastSend = Clock::now();
    }
    m_Connected.store(true, std::memory_order_release);
    m_Reader = std::thread(&Session::ReadLoop, this);
    if (m_Options.idleInterval != INFINITE) {
        m_Idler = std::thread(&Session::IdleLoop, this);
    }
}

void Session::ReadLoop() {
    ProfilerMessageHandler handler(*this, m_Events, m_Options.maxSectionSize,
                                   m_Options.removeFileSnapshots);
    std::string error;      // a fault to report, empty for an orderly end
    std::string why;        // why the connection ended
    std::string snapshotNote;
    try {
        for (;;) {
            handler.HandleOne(*m_pConnection);
        }
    } catch (const ConnectionError& failure) {
        switch (failure.GetCause()) {
        case ConnectionError::Cause::Stopped:
            why = "the session was closed";
            snapshotNote = "the session was closed in the middle of the snapshot";
            break;
        case ConnectionError::Cause::Closed:
            why = "the profiled process closed the connection";
            if (handler.IsSnapshotInProgress()) {
                error = "The profiled process closed the connection in the middle of a snapshot";
            }
            snapshotNote = "the profiled process closed the connection in the middle of the "
                           "snapshot";
            break;
        default:
            why = failure.what();
            error = std::string("The connection to the profiled process broke: ") + failure.what();
            snapshotNote = error;
            break;
        }
    } catch (const std::exception& fault) {
        // The stream is out of step: nothing after this point can be trusted.
        error = fault.what();
        snapshotNote = fault.what();
        why = "the connection was ended after a protocol error";
        m_pConnection->Shutdown();
    }

    m_Connected.store(false, std::memory_order_release);
    {
        std::lock_guard<std::mutex> guard(m_StopLock);
        m_Wake.notify_all();
    }
    if (!error.empty()) {
        PushEvent(EventKind::Error, error);
    }
    handler.Abandon(snapshotNote);
    PushEvent(EventKind::Disconnected, why);
}

void Session::IdleLoop() {
    const auto interval = std::chrono::milliseconds(m_Options.idleInterval);
    auto wait = interval;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(m_StopLock);
            if (m_Wake.wait_for(guard, wait, [this] { return m_Stopping || !IsConnected(); })) {
                return;
            }
        }
        std::lock_guard<std::mutex> guard(m_SendLock);
        const auto quiet = Clock::now() - m_LastSend;
        if (quiet < interval) {
            wait = std::chrono::duration_cast<std::chrono::milliseconds>(interval - quiet) +
                   std::chrono::milliseconds(1);
            continue;
        }
        wait = interval;
        try {
            const BYTE idle = static_cast<BYTE>(CommandCode::Idle);
            m_pConnection->Write(&idle, 1);
            m_LastSend = Clock::now();
        } catch (const ConnectionError&) {
            return;  // the reader sees the end of the connection and reports it
        }
    }
}

void Session::SendMessage(const void* data, size_t count) {
    std::lock_guard<std::mutex> guard(m_SendLock);
    if (m_pConnection == nullptr) {
        throw ConnectionError(ConnectionError::Cause::Stopped, "the session is closed");
    }
    m_pConnection->Write(data, count);
    m_LastSend = Clock::now();
}

void Session::SendCommand(const char* name, const MemoryBridgeStream& message) {
    if (!IsConnected()) {
        throw std::runtime_error(std::string("Can't send ") + name +
                                 ": the profiled process is not connected");
    }
    try {
        SendMessage(message.GetData(), message.GetSize());
    } catch (const ConnectionError& error) {
        throw std::runtime_error(std::string("Can't send ") + name +
                                 " to the profiled process: " + error.what());
    }
}

void Session::SendSimpleCommand(const char* name, CommandCode code) {
    MemoryBridgeStream message;
    WriteU8(message, static_cast<uint8_t>(code));
    SendCommand(name, message);
}

void Session::Start() {
    SendSimpleCommand("Start", CommandCode::Start);
}

void Session::StopDrop() {
    SendSimpleCommand("StopDrop", CommandCode::StopDrop);
}

void Session::StopSave() {
    SendSimpleCommand("StopSave", CommandCode::StopSave);
}

void Session::ForceGC() {
    SendSimpleCommand("ForceGC", CommandCode::ForceGC);
}

void Session::Dump() {
    SendSimpleCommand("Dump", CommandCode::Dump);
}

void Session::Idle() {
    SendSimpleCommand("Idle", CommandCode::Idle);
}

void Session::ChangeLogMask(uint32_t maskSet, uint32_t maskClear) {
    MemoryBridgeStream message;
    WriteU8(message, static_cast<uint8_t>(CommandCode::ChangeLogMask));
    WriteU32(message, maskSet);
    WriteU32(message, maskClear);
    SendCommand("ChangeLogMask", message);
}

void Session::ChangeSnapShotType(uint8_t type) {
    MemoryBridgeStream message;
    WriteU8(message, static_cast<uint8_t>(CommandCode::ChangeSnapShotType));
    WriteU8(message, type);
    SendCommand("ChangeSnapShotType", message);
}

void Session::PushEvent(EventKind kind, std::string text) {
    ControllerEvent event;
    event.kind = kind;
    event.text = std::move(text);
    m_Events.Push(std::move(event));
}

void Session::Close() {
    {
        std::lock_guard<std::mutex> guard(m_StopLock);
        m_Stopping = true;
        m_Wake.notify_all();
    }
    // Only this thread ever replaces the pointer, so reading it here needs no lock; Shutdown
    // itself is safe against the threads still using the connection.
    if (m_pConnection != nullptr) {
        m_pConnection->Shutdown();
    }
    if (m_Reader.joinable()) {
        m_Reader.join();
    }
    if (m_Idler.joinable()) {
        m_Idler.join();
    }
    {
        std::lock_guard<std::mutex> guard(m_SendLock);
        m_pConnection.reset();
    }
    m_Listener.Close();
}

}  // namespace Controller
