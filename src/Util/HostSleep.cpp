#include "Util/HostSleep.h"

#include "Platform/Clock.h"
#include "WinCE/PALServices.h"

void HostSleep(DWORD milliseconds) noexcept {
    if (IPALThreads* pThreads = g_pPALThreads.Get()) {
        pThreads->Sleep(milliseconds);
    } else {
        Platform::Sleep(milliseconds);
    }
}
