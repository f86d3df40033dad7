#include "Util/SpinLock.h"

#include "Util/HostSleep.h"

namespace {

constexpr int IMMEDIATE_RETRIES = 1024;
constexpr DWORD RETRY_SLEEP_MS = 10;

}  // namespace

void SpinLock::AcquireContended() noexcept {
    int failedAttempts = 1;
    while (m_Word.exchange(1, std::memory_order_acquire) != 0) {
        ++failedAttempts;
        if (failedAttempts > IMMEDIATE_RETRIES) {
            HostSleep(RETRY_SLEEP_MS);
        }
    }
}
