// Finds the managed module files of the machine's .NET installation, so tests can read real
// assemblies that nobody here wrote.
#pragma once

#include <filesystem>

#include "Platform/Types.h"

// The shared framework directory (the one holding System.Private.CoreLib.dll), or an empty path
// when the machine has no .NET installation. Looks in DOTNET_ROOT, /usr/share/dotnet,
// /usr/lib/dotnet and ~/.dotnet.
std::filesystem::path FindFrameworkDirectory();

// The path as the runtime reports module names: 16-bit text.
WString WidePath(const std::filesystem::path& path);
