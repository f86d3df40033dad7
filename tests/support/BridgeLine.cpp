#include "support/BridgeLine.h"

#include <gtest/gtest.h>

#include <stdexcept>

void BridgeLine::End::Read(void* buffer, size_t count) {
    if (!m_In.PopExactly(buffer, count, Patience)) {
        throw std::runtime_error(m_In.IsClosed() ? "Bridge line closed"
                                                 : "Bridge line read timed out");
    }
}

void BridgeLine::End::Write(const void* data, size_t count) {
    if (!m_Out.Push(data, count)) {
        throw std::runtime_error("Bridge line closed");
    }
}

std::vector<BYTE> BridgeLine::Receive(size_t count) {
    std::vector<BYTE> bytes(count);
    if (!m_ToController.PopExactly(bytes.data(), count, Patience)) {
        ADD_FAILURE() << "the profiler did not send " << count << " bytes; it sent "
                      << m_ToController.Available();
        return m_ToController.TakeAll();
    }
    return bytes;
}

void BridgeLine::Hangup() {
    m_ToController.Close();
    m_ToProfiler.Close();
}
