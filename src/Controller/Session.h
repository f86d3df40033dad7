// The controller's side of one profiled process: listens on the loopback interface, accepts the
// process's connection, runs the handshake, then sends commands while a reader thread handles
// the profiler's messages and an idle thread keeps the line from going quiet. Everything the
// profiler reports arrives as events.
//
// Listen, Accept, Adopt and Close belong to the owning thread; commands and event waits may come
// from any thread. Every wait is bounded, and Close (or destruction) joins the session's threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "Bridge/MemoryBridgeStream.h"
#include "Controller/ConnectionListener.h"
#include "Controller/ConnectionStream.h"
#include "Controller/EventQueue.h"
#include "Controller/IMessageSender.h"
#include "Controller/ProcessInfo.h"
#include "Controller/SessionOptions.h"
#include "Platform/Socket.h"

namespace Controller {

class Session final : private IMessageSender {
public:
    explicit Session(SessionOptions options = SessionOptions());
    ~Session() override;

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Listens on 127.0.0.1; port 0 picks a free port. Returns the port. Raises std::runtime_error
    // with the reason when the port cannot be had.
    WORD Listen(WORD port = 0);
    WORD GetPort() const { return m_Listener.GetPort(); }

    // Waits at most `milliseconds` for the profiled process, runs the handshake and, when it ends
    // with run, starts the session's threads. A refusal chosen by the options is reported in the
    // outcome, after the connection has been ended. Raises std::runtime_error saying what happened
    // when no process connects in time or the handshake fails. One call per session.
    const ProcessInfo& Accept(DWORD milliseconds);
    // The same for a connection accepted elsewhere (one listener serving many processes): the
    // session takes the socket and runs the handshake on it. One call per session, instead of
    // Listen and Accept.
    const ProcessInfo& Adopt(Platform::SocketHandle socket);
    const ProcessInfo& GetProcessInfo() const { return m_ProcessInfo; }
    // True from a successful handshake until the connection ends.
    bool IsConnected() const { return m_Connected.load(std::memory_order_acquire); }

    // Commands. Each raises std::runtime_error when the process is not (or no longer) connected.
    void Start();
    void StopDrop();
    void StopSave();
    void ForceGC();
    void Dump();
    void ChangeLogMask(uint32_t maskSet, uint32_t maskClear);
    void ChangeSnapShotType(uint8_t type);
    void Idle();

    std::optional<ControllerEvent> WaitNext(DWORD milliseconds) {
        return m_Events.WaitNext(milliseconds);
    }
    std::optional<ControllerEvent> WaitFor(EventKind kind, DWORD milliseconds) {
        return m_Events.WaitFor(kind, milliseconds);
    }
    std::optional<ControllerEvent> WaitFor(std::initializer_list<EventKind> kinds,
                                           DWORD milliseconds) {
        return m_Events.WaitFor(kinds, milliseconds);
    }

    // Ends the connection and the listener and joins the threads. A snapshot still arriving is
    // reported as incomplete. Safe to call more than once.
    void Close();

private:
    using Clock = std::chrono::steady_clock;

    void SendMessage(const void* data, size_t count) override;
    void SendCommand(const char* name, const MemoryBridgeStream& message);
    void SendSimpleCommand(const char* name, CommandCode code);
    void StartThreads();
    void ReadLoop();
    void IdleLoop();
    void PushEvent(EventKind kind, std::string text);

    const SessionOptions m_Options;
    EventQueue m_Events;
    ConnectionListener m_Listener;
    bool m_Accepted = false;
    ProcessInfo m_ProcessInfo;
    std::atomic<bool> m_Connected{false};

    // Guards m_pConnection and m_LastSend, and keeps each message whole on the wire. Taken by
    // callers' commands, by the reader thread for replies and by the idle thread, for one message
    // at a time; never while another lock of the session is held.
    std::mutex m_SendLock;
    std::unique_ptr<ConnectionStream> m_pConnection;
    Clock::time_point m_LastSend;

    // Guards m_Stopping. Taken by Close, by the reader thread as it ends and by the idle thread,
    // which waits on m_Wake for the stop or the end of the connection.
    std::mutex m_StopLock;
    std::condition_variable m_Wake;
    bool m_Stopping = false;

    std::thread m_Reader;
    std::thread m_Idler;
};

}  // namespace Controller
