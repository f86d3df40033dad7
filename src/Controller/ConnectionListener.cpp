#include "Controller/ConnectionListener.h"

#include <stdexcept>
#include <string>

namespace Controller {

WORD ConnectionListener::Listen(WORD port) {
    if (m_Listener != nullptr) {
        throw std::runtime_error("Already listening on 127.0.0.1:" + std::to_string(m_Port));
    }
    std::string error;
    m_Listener = Platform::ListenLoopback(port, &error);
    if (m_Listener == nullptr) {
        throw std::runtime_error("Can't listen on 127.0.0.1:" + std::to_string(port) + " (" +
                                 error + "): choose another port, or 0 for any free one");
    }
    m_Port = Platform::GetSocketPort(m_Listener);
    return m_Port;
}

Platform::SocketHandle ConnectionListener::Accept(DWORD milliseconds) {
    if (m_Listener == nullptr) {
        throw std::runtime_error("Not listening: call Listen first");
    }
    Platform::SocketHandle socket = nullptr;
    switch (Platform::AcceptConnection(m_Listener, milliseconds, &socket)) {
        case Platform::SocketResult::Ok:
            return socket;
        case Platform::SocketResult::TimedOut:
            return nullptr;
        default:
            throw std::runtime_error("Can't accept a connection on 127.0.0.1:" +
                                     std::to_string(m_Port));
    }
}

void ConnectionListener::Close() {
    if (m_Listener != nullptr) {
        Platform::CloseSocket(m_Listener);
        m_Listener = nullptr;
    }
}

}  // namespace Controller
