// TCP connections for the desktop side of the bridge: a listening socket on the loopback interface,
// accepted and outgoing connections, whole sends and bounded receives. Every wait has a time limit
// so that no caller can hang on a silent peer.
#pragma once

#include <string>

#include "Platform/Types.h"

namespace Platform {

// An OS socket; null means "no socket".
struct SocketObject;
using SocketHandle = SocketObject*;

enum class SocketResult {
    Ok,
    TimedOut,
    Closed,  // the peer ended the connection, or it was shut down locally
    Failed,
};

// A listening socket on 127.0.0.1; port 0 lets the system pick a free port. Null on failure, with
// the reason in *error.
SocketHandle ListenLoopback(WORD port, std::string* error);
// The local port a socket is bound to; 0 when unknown.
WORD GetSocketPort(SocketHandle socket);
// Waits at most `milliseconds` for one connection. On Ok, *accepted is a new connected socket.
SocketResult AcceptConnection(SocketHandle listener, DWORD milliseconds, SocketHandle* accepted);

// Connects to 127.0.0.1:port, waiting at most `milliseconds`. Null on failure, with the reason.
SocketHandle ConnectLoopback(WORD port, DWORD milliseconds, std::string* error);

// Sends every byte or fails; a send never raises a signal for a closed peer.
SocketResult SendAll(SocketHandle socket, const void* data, size_t count);
// Waits at most `milliseconds` for data and receives what has arrived, at most `capacity` bytes.
// Closed once the peer has ended the connection and every byte it sent has been received.
SocketResult ReceiveSome(SocketHandle socket, void* buffer, size_t capacity, DWORD milliseconds,
                         size_t* received);

// Ends both directions; a receive or accept waiting on another thread returns at once.
void ShutdownSocket(SocketHandle socket);
// Ends the sending direction only: the peer reads the end of the stream after our last byte.
void ShutdownSend(SocketHandle socket);
// Releases the socket. No other thread may still use it.
void CloseSocket(SocketHandle socket);

}  // namespace Platform
