#include "WinCE/PALServices.h"

// Constant-initialised (null), so they are usable from any static initialiser.
constinit ComRef<IPALThreads> g_pPALThreads;
constinit ComRef<IPALTools> g_pPALTools;
constinit ComRef<IPALProfilerHost> g_pPALProfilerHost;
