// A pause through the host's thread services, so that the host sees and may shorten our waits; the
// OS sleep stands in while no host is held (before load, after unload, in tests without one).
#pragma once

#include "Platform/Types.h"

void HostSleep(DWORD milliseconds) noexcept;
