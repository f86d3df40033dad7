// The device registry, read-only. It is backed by a text file in the well-known ".reg" format
// whose path is given by the environment variable QUORVELAN_REGISTRY:
//
//   [HKEY_LOCAL_MACHINE\Software\Quorvelan\Profiler\Global]
//   "QUORVELAN_PROFILER_LOGMASK"=dword:0000000a
//   "QUORVELAN_PROFILER_TEMP"="/tmp/qv"
//
// Both roots (current user, local machine) come from that file. The file is read when a key is
// first opened and re-read when its path, size, modification or change time differs at a later
// open; an open key keeps the content it was opened on. A malformed line makes only the value it
// would have defined unreadable; the rest of the file still counts (the accepted syntax is
// described in Platform/Linux/RegistryFile.h). Key and value names compare without regard to ASCII
// case. Without a file, or where the file does not set it, LocalMachine "SYSTEM\Versions" "Aku"
// answers the kernel release as REG_SZ.
#pragma once

#include <string>

#include "Platform/Types.h"

namespace Platform {

enum class RegistryRoot {
    CurrentUser,
    LocalMachine,
};

// Value types, with the platform's codes.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Status codes of the registry calls (the platform's error numbers).
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;

struct RegistryKeyObject;
using RegistryKey = RegistryKeyObject*;

// Opens a key for reading; key names are case-insensitive and use "\" between levels. A key exists
// when the file names it or a key below it; ERROR_FILE_NOT_FOUND otherwise.
LONG RegOpenKey(RegistryRoot root, const WString& subKey, RegistryKey* key);
LONG RegCloseKey(RegistryKey key);
// With data null: returns the type and the size in bytes. With data: copies at most *size bytes
// and returns ERROR_MORE_DATA (with the needed size) when the buffer is too small.
// A string value's data is its 16-bit text including the terminating zero. ERROR_FILE_NOT_FOUND
// for a value the key does not have; ERROR_INVALID_PARAMETER for data without a size.
LONG RegQueryValue(RegistryKey key, const WString& valueName, DWORD* type, BYTE* data,
                   DWORD* size);

// The path of the registry file in use (from QUORVELAN_REGISTRY), empty when none is set.
std::string GetRegistryFilePath();

}  // namespace Platform
