// The controller's listening socket on the loopback interface. One listener can serve many
// profiled processes: each accepted connection goes to a session of its own (Session::Adopt).
// Not for use by two threads at once.
#pragma once

#include "Platform/Socket.h"
#include "Platform/Types.h"

namespace Controller {

class ConnectionListener {
public:
    ConnectionListener() = default;
    ~ConnectionListener() { Close(); }

    ConnectionListener(const ConnectionListener&) = delete;
    ConnectionListener& operator=(const ConnectionListener&) = delete;

    // Listens on 127.0.0.1; port 0 picks a free port. Returns the port. Raises std::runtime_error
    // with the reason when the port cannot be had.
    WORD Listen(WORD port);
    WORD GetPort() const { return m_Port; }
    bool IsListening() const { return m_Listener != nullptr; }

    // Waits at most `milliseconds` for one connection; the caller owns the socket it returns.
    // Null when none came in time. Raises std::runtime_error when the listener is closed or
    // broken.
    Platform::SocketHandle Accept(DWORD milliseconds);

    // Stops listening: processes still waiting to be accepted, and later ones, find the
    // connection refused and run without a profiler. Safe to call more than once.
    void Close();

private:
    Platform::SocketHandle m_Listener = nullptr;
    WORD m_Port = 0;
};

}  // namespace Controller
