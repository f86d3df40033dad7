#include "WinCE/PALServices.h"

// Constant-initialised (null), so they are usable from any static initialiser, and never released
// at exit: process detach and late callbacks may still use them.
constinit PermanentComRef<IPALThreads> g_pPALThreads;
constinit PermanentComRef<IPALTools> g_pPALTools;
constinit PermanentComRef<IPALProfilerHost> g_pPALProfilerHost;
