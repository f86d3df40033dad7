#include "Util/SpinLock.h"

#include "Platform/Clock.h"
#include "WinCE/PALServices.h"

namespace {

constexpr int IMMEDIATE_RETRIES = 1024;
constexpr DWORD RETRY_SLEEP_MS = 10;

// The log lock is taken before any host is loaded, so without host thread services the OS sleep
// stands in.
void SleepBetweenRetries() noexcept {
    if (IPALThreads* pThreads = g_pPALThreads.Get()) {
        pThreads->Sleep(RETRY_SLEEP_MS);
    } else {
        Platform::Sleep(RETRY_SLEEP_MS);
    }
}

}  // namespace

void SpinLock::AcquireContended() noexcept {
    int failedAttempts = 1;
    while (m_Word.exchange(1, std::memory_order_acquire) != 0) {
        ++failedAttempts;
        if (failedAttempts > IMMEDIATE_RETRIES) {
            SleepBetweenRetries();
        }
    }
}
