// Finds and opens the profiler library and looks up a kind's load entry point in it.
#pragma once

#include <string>

#include "Platform/Types.h"

// The library's load entry point: a load service command (0 load, 1 unload) and the host object;
// 0 on success, a failure status otherwise.
using ProfilerEntryPoint = HRESULT (*)(DWORD command, IUnknown* pHostObject);

// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND): the library could not be loaded.
constexpr HRESULT HOST_E_LIBRARY_NOT_LOADED = MakeHResult(0x8007007E);
// HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND): the library lacks the entry point.
constexpr HRESULT HOST_E_ENTRY_NOT_FOUND = MakeHResult(0x8007007F);

class ProfilerLibrary {
public:
    // Names the library to load instead of the one beside the host.
    static constexpr const char* PathVariable = "QUORVELAN_PROFILER_LIBRARY";
    static constexpr const char* FileName = "libqvprofiler.so";

    struct Lookup {
        ProfilerEntryPoint pEntry = nullptr;  // null on failure
        HRESULT status = S_OK;
        std::string error;  // what failed and what to check, when pEntry is null
    };

    // QUORVELAN_PROFILER_LIBRARY when set and not empty; otherwise libqvprofiler.so in the
    // directory of the module this code is part of (libqvhost.so when the runtime loaded it).
    static std::string ResolvePath();

    // Loads the library at `path` and looks up `entryName`. The library is never unloaded: the
    // runtime calls the objects it creates until the process ends.
    static Lookup FindEntryPoint(const std::string& path, const std::string& entryName);
};
