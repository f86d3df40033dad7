#include "support/FakeProfilerPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace WireBytes;

FakeProfilerPeer::FakeProfilerPeer(WORD port) {
    std::string error;
    m_Socket = Platform::ConnectLoopback(port, GenerousMs, &error);
    EXPECT_NE(nullptr, m_Socket) << error;
}

void FakeProfilerPeer::Send(const Bytes& bytes) {
    EXPECT_EQ(Platform::SocketResult::Ok, Platform::SendAll(m_Socket, bytes.data(), bytes.size()));
}

Bytes FakeProfilerPeer::Receive(size_t count) {
    Bytes bytes;
    while (bytes.size() < count) {
        BYTE buffer[4096];
        size_t got = 0;
        const auto result = Platform::ReceiveSome(
            m_Socket, buffer, std::min(sizeof(buffer), count - bytes.size()), GenerousMs, &got);
        if (result != Platform::SocketResult::Ok) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

bool FakeProfilerPeer::SeesEndOfStream() {
    BYTE buffer[256];
    size_t got = 0;
    Platform::SocketResult result;
    do {
        result = Platform::ReceiveSome(m_Socket, buffer, sizeof(buffer), GenerousMs, &got);
    } while (result == Platform::SocketResult::Ok);
    return result == Platform::SocketResult::Closed;
}

void FakeProfilerPeer::Close() {
    if (m_Socket != nullptr) {
        Platform::CloseSocket(m_Socket);
        m_Socket = nullptr;
    }
}

uint16_t FakeProfilerPeer::CreateSection(uint32_t id) {
    Send(Concat({{0xE1}, U32(id)}));
    const Bytes reply = Receive(7);
    EXPECT_EQ(7u, reply.size());
    if (reply.size() != 7) {
        return 0;
    }
    EXPECT_EQ(Concat({{0xE1}, U32(id)}), Bytes(reply.begin(), reply.begin() + 5));
    return static_cast<uint16_t>(reply[5] | (reply[6] << 8));
}
