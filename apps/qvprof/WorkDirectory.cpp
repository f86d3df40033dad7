#include "WorkDirectory.h"

#include <fmt/format.h>

#include <fstream>
#include <stdexcept>

namespace Qvprof {

void CreateOutputDirectory(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) {
        throw std::runtime_error("Can't create the output folder '" + path.string() +
                                 "': " + error.message());
    }
}

namespace {

// A registry string: backslashes and double quotes escaped.
std::string RegistryString(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

}  // namespace

WorkDirectory::~WorkDirectory() {
    std::error_code error;
    std::filesystem::remove_all(m_Path, error);
}

std::string WorkDirectory::RegistryText(const std::filesystem::path& temporaryPath,
                                        uint32_t logMask) {
    return fmt::format(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
        "\"QUORVELAN_PROFILER_TEMP\"=\"{}\"\n"
        "\"QUORVELAN_PROFILER_LOGMASK\"=dword:{:08x}\n",
        RegistryString(temporaryPath.string()), logMask);
}

void WorkDirectory::WriteRegistry(uint32_t logMask) const {
    std::filesystem::create_directories(ProfilerTemporaryPath());
    std::ofstream file(RegistryPath(), std::ios::binary);
    file << RegistryText(ProfilerTemporaryPath(), logMask);
    if (!file.flush()) {
        throw std::runtime_error("Can't write " + RegistryPath().string());
    }
}

}  // namespace Qvprof
