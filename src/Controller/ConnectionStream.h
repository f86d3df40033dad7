// The controller's end of one bridge connection as a read and a write stream. Reads are buffered
// (the profiler's messages are many and small) and wait in short slices, so that a shutdown from
// another thread or a silent peer ends them within the slice.
#pragma once

#include <atomic>
#include <memory>

#include "Bridge/IReadBridgeStream.h"
#include "Bridge/IWriteBridgeStream.h"
#include "Platform/Socket.h"
#include "Platform/Types.h"

namespace Controller {

class ConnectionStream final : public IReadBridgeStream, public IWriteBridgeStream {
public:
    // Takes ownership of a connected socket.
    explicit ConnectionStream(Platform::SocketHandle socket);
    ~ConnectionStream() override;

    ConnectionStream(const ConnectionStream&) = delete;
    ConnectionStream& operator=(const ConnectionStream&) = delete;

    // A read that waits longer than this for its next bytes fails; INFINITE waits until the
    // connection ends or is shut down. Set before reads start.
    void SetReadTimeout(DWORD milliseconds) { m_ReadTimeout = milliseconds; }

    // Both raise ConnectionError. Read runs on one thread at a time; Write callers serialise
    // whole messages themselves.
    void Read(void* buffer, size_t count) override;
    void Write(const void* data, size_t count) override;

    // Ends both directions; a Read waiting on another thread fails with cause Stopped.
    void Shutdown();
    // Sends the end of stream after our last byte and waits (bounded) until the peer closes too,
    // so that bytes it has not read yet are not lost to a reset.
    void CloseGracefully(DWORD milliseconds);

private:
    static constexpr size_t BufferSize = 64 * 1024;
    static constexpr DWORD PollSlice = 100;

    void Fill();

    Platform::SocketHandle m_Socket;
    DWORD m_ReadTimeout = INFINITE;
    // Set by Shutdown on any thread, read by the reader to tell a local end from the peer's.
    std::atomic<bool> m_ShutDown{false};

    // Received bytes not yet handed out; touched by the reading thread only.
    std::unique_ptr<BYTE[]> m_pBuffer;
    size_t m_Begin = 0;
    size_t m_End = 0;
};

}  // namespace Controller
