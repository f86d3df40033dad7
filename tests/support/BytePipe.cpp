#include "support/BytePipe.h"

#include <algorithm>

bool BytePipe::Push(const void* data, size_t count) {
    std::unique_lock<std::mutex> lock(m_Lock);
    if (m_WritersHeld) {
        ++m_HeldWriters;
        m_Changed.notify_all();
        m_Changed.wait(lock, [this] { return !m_WritersHeld || m_Closed; });
        --m_HeldWriters;
    }
    if (m_Closed) {
        return false;
    }
    const auto* p = static_cast<const BYTE*>(data);
    m_Bytes.insert(m_Bytes.end(), p, p + count);
    m_Changed.notify_all();
    return true;
}

size_t BytePipe::PopSome(void* buffer, size_t capacity, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Lock);
    m_Changed.wait_for(lock, timeout, [this] { return !m_Bytes.empty() || m_Closed; });
    const size_t count = std::min(capacity, m_Bytes.size());
    std::copy_n(m_Bytes.begin(), count, static_cast<BYTE*>(buffer));
    m_Bytes.erase(m_Bytes.begin(), m_Bytes.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

bool BytePipe::PopExactly(void* buffer, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Lock);
    if (!m_Changed.wait_for(lock, timeout, [&] { return m_Bytes.size() >= count || m_Closed; }) ||
        m_Bytes.size() < count) {
        return false;
    }
    std::copy_n(m_Bytes.begin(), count, static_cast<BYTE*>(buffer));
    m_Bytes.erase(m_Bytes.begin(), m_Bytes.begin() + static_cast<std::ptrdiff_t>(count));
    return true;
}

std::vector<BYTE> BytePipe::TakeAll() {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<BYTE> bytes(m_Bytes.begin(), m_Bytes.end());
    m_Bytes.clear();
    return bytes;
}

size_t BytePipe::Available() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Bytes.size();
}

void BytePipe::Close() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Closed = true;
    m_Changed.notify_all();
}

bool BytePipe::IsClosed() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Closed;
}

void BytePipe::HoldWriters() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_WritersHeld = true;
}

void BytePipe::ReleaseWriters() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_WritersHeld = false;
    m_Changed.notify_all();
}

bool BytePipe::WaitForHeldWriter(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Changed.wait_for(lock, timeout, [this] { return m_HeldWriters != 0; });
}
