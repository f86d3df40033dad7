#include "Platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

namespace Platform {

struct SocketObject {
    int m_Fd;
};

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrorText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// Waits for `events` on the socket for at most `milliseconds`, restarting after signals with the
// time that is left. Returns the poll result: >0 ready, 0 timed out, <0 failed (errno set).
int PollFor(int fd, short events, DWORD milliseconds, short* revents) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        const int timeout = milliseconds == INFINITE ? -1
                            : left.count() > 0       ? static_cast<int>(left.count())
                                                     : 0;
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, timeout);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        *revents = entry.revents;
        return ready;
    }
}

SocketHandle Wrap(int fd) {
    auto* pSocket = new (std::nothrow) SocketObject{fd};
    if (pSocket == nullptr) {
        close(fd);
    }
    return pSocket;
}

// Requests and replies are small messages that wait on each other: no coalescing delay.
void DisableCoalescing(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

sockaddr_in LoopbackAddress(WORD port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

SocketHandle ListenLoopback(WORD port, std::string* error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = ErrorText("can't create a socket", errno);
        return nullptr;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = LoopbackAddress(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        *error = ErrorText("can't bind to 127.0.0.1", errno);
        close(fd);
        return nullptr;
    }
    // A build starts many profiled processes at once; a short queue would make the ones beyond
    // it retry their connection a second later.
    if (listen(fd, 64) != 0) {
        *error = ErrorText("can't listen", errno);
        close(fd);
        return nullptr;
    }
    return Wrap(fd);
}

WORD GetSocketPort(SocketHandle socket) {
    if (socket == nullptr) {
        return 0;
    }
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(socket->m_Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

SocketResult AcceptConnection(SocketHandle listener, DWORD milliseconds, SocketHandle* accepted) {
    *accepted = nullptr;
    if (listener == nullptr) {
        return SocketResult::Failed;
    }
    short revents = 0;
    const int ready = PollFor(listener->m_Fd, POLLIN, milliseconds, &revents);
    if (ready < 0) {
        return SocketResult::Failed;
    }
    if (ready == 0) {
        return SocketResult::TimedOut;
    }
    int fd;
    do {
        fd = accept4(listener->m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A listener shut down by another thread reports EINVAL: that is an orderly end.
        return errno == EINVAL ? SocketResult::Closed
               : errno == EAGAIN || errno == ECONNABORTED ? SocketResult::TimedOut
                                                           : SocketResult::Failed;
    }
    DisableCoalescing(fd);
    *accepted = Wrap(fd);
    return *accepted != nullptr ? SocketResult::Ok : SocketResult::Failed;
}

SocketHandle ConnectLoopback(WORD port, DWORD milliseconds, std::string* error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = ErrorText("can't create a socket", errno);
        return nullptr;
    }
    sockaddr_in address = LoopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EINPROGRESS) {
            *error = ErrorText("can't connect", errno);
            close(fd);
            return nullptr;
        }
        short revents = 0;
        const int ready = PollFor(fd, POLLOUT, milliseconds, &revents);
        int failure = 0;
        socklen_t length = sizeof(failure);
        if (ready == 0) {
            failure = ETIMEDOUT;
        } else if (ready < 0) {
            failure = errno;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) {
            failure = errno;
        }
        if (failure != 0) {
            *error = ErrorText("can't connect", failure);
            close(fd);
            return nullptr;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    DisableCoalescing(fd);
    return Wrap(fd);
}

SocketResult SendAll(SocketHandle socket, const void* data, size_t count) {
    if (socket == nullptr) {
        return SocketResult::Failed;
    }
    const char* pNext = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t sent = send(socket->m_Fd, pNext, count, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EPIPE || errno == ECONNRESET ? SocketResult::Closed
                                                         : SocketResult::Failed;
        }
        pNext += sent;
        count -= static_cast<size_t>(sent);
    }
    return SocketResult::Ok;
}

SocketResult ReceiveSome(SocketHandle socket, void* buffer, size_t capacity, DWORD milliseconds,
                         size_t* received) {
    *received = 0;
    if (socket == nullptr) {
        return SocketResult::Failed;
    }
    short revents = 0;
    const int ready = PollFor(socket->m_Fd, POLLIN, milliseconds, &revents);
    if (ready < 0) {
        return SocketResult::Failed;
    }
    if (ready == 0) {
        return SocketResult::TimedOut;
    }
    ssize_t got;
    do {
        got = recv(socket->m_Fd, buffer, capacity, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return SocketResult::TimedOut;
        }
        return errno == ECONNRESET ? SocketResult::Closed : SocketResult::Failed;
    }
    if (got == 0 && capacity > 0) {
        return SocketResult::Closed;
    }
    *received = static_cast<size_t>(got);
    return SocketResult::Ok;
}

void ShutdownSocket(SocketHandle socket) {
    if (socket != nullptr) {
        shutdown(socket->m_Fd, SHUT_RDWR);
    }
}

void ShutdownSend(SocketHandle socket) {
    if (socket != nullptr) {
        shutdown(socket->m_Fd, SHUT_WR);
    }
}

void CloseSocket(SocketHandle socket) {
    if (socket != nullptr) {
        close(socket->m_Fd);
        delete socket;
    }
}

}  // namespace Platform
