// A registry file for one test: the text is written to a new file in a scratch directory and
// QUORVELAN_REGISTRY points at it until the object goes away, when the variable gets back its
// earlier value (or is removed). Every object uses a new path, so the registry never mistakes one
// test's file for another's.
#pragma once

#include <optional>
#include <string>

#include "support/ScratchDirectory.h"

class ScopedRegistryFile {
public:
    // The text in the ".reg" format, written as given (UTF-8).
    explicit ScopedRegistryFile(const std::string& regText);
    ~ScopedRegistryFile();

    ScopedRegistryFile(const ScopedRegistryFile&) = delete;
    ScopedRegistryFile& operator=(const ScopedRegistryFile&) = delete;

private:
    ScratchDirectory m_Directory;
    std::optional<std::string> m_SavedPath;
};
