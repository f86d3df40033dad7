// Installs a host thread service as the module-wide g_pPALThreads for one scope, and removes it
// again however the scope ends.
#pragma once

#include "WinCE/PALServices.h"

class ScopedPALThreads {
public:
    // Takes a reference of its own on pThreads (null installs nothing).
    explicit ScopedPALThreads(IPALThreads* pThreads) { g_pPALThreads = pThreads; }
    ~ScopedPALThreads() { g_pPALThreads = nullptr; }

    ScopedPALThreads(const ScopedPALThreads&) = delete;
    ScopedPALThreads& operator=(const ScopedPALThreads&) = delete;
};
