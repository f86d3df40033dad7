// A fresh, empty directory under the system's temporary directory, removed with its contents
// when the object goes away.
#pragma once

#include <filesystem>
#include <string>

#include "Platform/Types.h"

class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();

    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }
    // The directory as platform text, optionally with a relative name appended.
    WString Wide(const std::string& relative = std::string()) const;

private:
    std::filesystem::path m_Path;
};
