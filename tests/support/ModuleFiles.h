// Managed module files for the gatherers' tests: real framework assemblies read the way the
// profiler reads them, and copies of them that carry an MVID of the test's choosing, so a test can
// make as many distinct modules as it needs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "Platform/Types.h"

// The metadata blob of a managed module file (empty when the file is no managed image).
std::vector<BYTE> ReadModuleBlob(const std::filesystem::path& path);
// The MVID of a managed module file; raises std::logic_error when it has none.
GUID ReadModuleMvid(const std::filesystem::path& path);
// A GUID made from a number, distinct for distinct numbers and from every real MVID in practice.
GUID NumberedMvid(uint32_t number);
// Copies `source` to `target` with its MVID replaced by `mvid`; returns `target`.
std::filesystem::path CopyModuleWithMvid(const std::filesystem::path& source,
                                         const std::filesystem::path& target, const GUID& mvid);
