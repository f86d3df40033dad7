#include "CommandProcessor/TrySpinLock.h"

#include "Platform/Clock.h"
#include "WinCE/PALServices.h"

namespace {

constexpr int IMMEDIATE_RETRIES = 1024;
constexpr DWORD RETRY_SLEEP_MS = 10;

void SleepBetweenRetries() noexcept {
    if (IPALThreads* pThreads = g_pPALThreads.Get()) {
        pThreads->Sleep(RETRY_SLEEP_MS);
    } else {
        Platform::Sleep(RETRY_SLEEP_MS);
    }
}

}  // namespace

void TrySpinLock::AcquireContended() noexcept {
    int failedAttempts = 1;
    while (!TryAcquire()) {
        ++failedAttempts;
        if (failedAttempts > IMMEDIATE_RETRIES) {
            SleepBetweenRetries();
        }
    }
}
