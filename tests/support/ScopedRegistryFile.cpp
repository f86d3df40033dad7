#include "ScopedRegistryFile.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

ScopedRegistryFile::ScopedRegistryFile(const std::string& regText) {
    const std::filesystem::path file = m_Directory.Path() / "registry.reg";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << regText;
        if (!out) {
            throw std::runtime_error("the test registry file could not be written");
        }
    }
    if (const char* pSaved = std::getenv("QUORVELAN_REGISTRY")) {
        m_SavedPath = pSaved;
    }
    setenv("QUORVELAN_REGISTRY", file.c_str(), 1);
}

ScopedRegistryFile::~ScopedRegistryFile() {
    if (m_SavedPath) {
        setenv("QUORVELAN_REGISTRY", m_SavedPath->c_str(), 1);
    } else {
        unsetenv("QUORVELAN_REGISTRY");
    }
}
