// The host's service interfaces, held module-wide from load to unload. Each is null until the load
// entry point obtains it; a call through a null reference raises the invalid-pointer _com_error.
#pragma once

#include "Util/ComRef.h"
#include "WinCE/IPALProfilerHost.h"
#include "WinCE/IPALThreads.h"
#include "WinCE/IPALTools.h"

extern PermanentComRef<IPALThreads> g_pPALThreads;
extern PermanentComRef<IPALTools> g_pPALTools;
extern PermanentComRef<IPALProfilerHost> g_pPALProfilerHost;
