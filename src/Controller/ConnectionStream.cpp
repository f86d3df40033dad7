#include "Controller/ConnectionStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "Controller/ConnectionError.h"

namespace Controller {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ConnectionStream::ConnectionStream(Platform::SocketHandle socket)
    : m_Socket(socket), m_pBuffer(new BYTE[BufferSize]) {}

ConnectionStream::~ConnectionStream() {
    Platform::CloseSocket(m_Socket);
}

void ConnectionStream::Read(void* buffer, size_t count) {
    BYTE* pOut = static_cast<BYTE*>(buffer);
    while (count > 0) {
        if (m_Begin == m_End) {
            Fill();
        }
        const size_t piece = std::min(count, m_End - m_Begin);
        std::memcpy(pOut, m_pBuffer.get() + m_Begin, piece);
        m_Begin += piece;
        pOut += piece;
        count -= piece;
    }
}

void ConnectionStream::Fill() {
    m_Begin = m_End = 0;
    const auto started = Clock::now();
    for (;;) {
        if (m_ShutDown.load(std::memory_order_acquire)) {
            throw ConnectionError(ConnectionError::Cause::Stopped, "the session was closed");
        }
        size_t received = 0;
        const Platform::SocketResult result =
            Platform::ReceiveSome(m_Socket, m_pBuffer.get(), BufferSize, PollSlice, &received);
        switch (result) {
        case Platform::SocketResult::Ok:
            m_End = received;
            return;
        case Platform::SocketResult::TimedOut:
            if (m_ReadTimeout != INFINITE &&
                Clock::now() - started >= std::chrono::milliseconds(m_ReadTimeout)) {
                throw ConnectionError(ConnectionError::Cause::TimedOut,
                                      "the profiled process sent nothing for " +
                                          std::to_string(m_ReadTimeout) + " ms");
            }
            break;
        case Platform::SocketResult::Closed:
            if (m_ShutDown.load(std::memory_order_acquire)) {
                throw ConnectionError(ConnectionError::Cause::Stopped, "the session was closed");
            }
            throw ConnectionError(ConnectionError::Cause::Closed,
                                  "the profiled process closed the connection");
        case Platform::SocketResult::Failed:
            throw ConnectionError(ConnectionError::Cause::Failed,
                                  "the connection to the profiled process failed");
        }
    }
}

void ConnectionStream::Write(const void* data, size_t count) {
    if (m_ShutDown.load(std::memory_order_acquire)) {
        throw ConnectionError(ConnectionError::Cause::Stopped, "the session was closed");
    }
    switch (Platform::SendAll(m_Socket, data, count)) {
    case Platform::SocketResult::Ok:
        return;
    case Platform::SocketResult::Closed:
        throw ConnectionError(ConnectionError::Cause::Closed,
                              "the profiled process closed the connection");
    default:
        throw ConnectionError(ConnectionError::Cause::Failed,
                              "the connection to the profiled process failed");
    }
}

void ConnectionStream::Shutdown() {
    m_ShutDown.store(true, std::memory_order_release);
    Platform::ShutdownSocket(m_Socket);
}

void ConnectionStream::CloseGracefully(DWORD milliseconds) {
    Platform::ShutdownSend(m_Socket);
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < deadline) {
        size_t received = 0;
        const auto result =
            Platform::ReceiveSome(m_Socket, m_pBuffer.get(), BufferSize, PollSlice, &received);
        if (result == Platform::SocketResult::Closed || result == Platform::SocketResult::Failed) {
            break;
        }
    }
    Shutdown();
}

}  // namespace Controller
