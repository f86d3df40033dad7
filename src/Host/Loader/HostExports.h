// The host library's exported function, declared for code that links the host statically.
#pragma once

#include "Platform/Types.h"

// A class factory for one of the profiler kinds' class identifiers; CLASS_E_CLASSNOTAVAILABLE
// (with a line on standard error) for any other.
extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
