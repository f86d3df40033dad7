// The profiled process's end of a controller connection, played by hand over a real loopback
// socket: tests send the protocol's bytes and read the controller's. Every wait is bounded.
#pragma once

#include <cstdint>

#include "Platform/Socket.h"
#include "support/WireBytes.h"

class FakeProfilerPeer {
public:
    static constexpr DWORD GenerousMs = 30000;

    explicit FakeProfilerPeer(WORD port);
    ~FakeProfilerPeer() { Close(); }

    FakeProfilerPeer(const FakeProfilerPeer&) = delete;
    FakeProfilerPeer& operator=(const FakeProfilerPeer&) = delete;

    void Send(const WireBytes::Bytes& bytes);
    // Exactly `count` bytes, or fewer when the connection ends or the wait runs out.
    WireBytes::Bytes Receive(size_t count);
    // True when the controller ends the connection (after any bytes still on their way).
    bool SeesEndOfStream();
    void Close();

    // Opens a section and returns the handle the controller answered with.
    uint16_t CreateSection(uint32_t id);

private:
    Platform::SocketHandle m_Socket = nullptr;
};
