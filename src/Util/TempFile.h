// The temporary directory and unique temporary file names. Everything the program writes locally
// lives in one directory, under a three-character prefix and random hexadecimal digits.
#pragma once

#include "Platform/Types.h"

// The configured temporary directory, or the system's when none is set.
WString GetTempDirectory();
// Null or empty resets to the default; otherwise the directory is created if needed, then kept.
// Nothing changes when creating it fails.
void SetTempDirectory(const WCHAR* pPath);

// Creates every missing directory of an absolute path, root side first.
void EnsureDirectory(const WString& path);

// Decides whether a generated path may be used (for example by creating the file).
using TempNameAcceptor = bool (*)(const WString& path, void* pContext);

// "<temp dir>/<prefix><hex digits>.tmp" with eight characters before ".tmp": the first path that
// `accept` takes, out of at most 16 attempts.
WString CreateUniqueTempName(const WCHAR* pPrefix, TempNameAcceptor accept, void* pContext);
// A new, empty, closed file with a unique name; returns its path.
WString CreateTempFile(const WCHAR* pPrefix);

// The directory, a separator when it has none at its end, then the name.
WString CombinePath(const WString& directory, const WString& name);
bool IsAbsolutePath(const WString& path);

// Restarts the name generator from a known state, so that tests can predict the names.
void SeedTempNameGenerator(DWORD seed);
