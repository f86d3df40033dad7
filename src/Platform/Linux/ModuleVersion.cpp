#include "Platform/Linux/ModuleVersion.h"

#include <cstdint>

namespace Platform::Native {

namespace {

// Parses "A[.B[.C[.D]]]" made only of decimal numbers, each at most 65535.
bool ParseVersionNumbers(std::string_view text, size_t minimumParts, FileVersion* version) {
    WORD parts[4] = {};
    size_t count = 0;
    size_t i = 0;
    while (i <= text.size()) {
        if (count == 4 || i == text.size() || text[i] < '0' || text[i] > '9') {
            return false;
        }
        uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            if (value > 0xFFFF) {
                return false;
            }
            ++i;
        }
        parts[count++] = static_cast<WORD>(value);
        if (i == text.size()) {
            break;
        }
        if (text[i] != '.') {
            return false;
        }
        ++i;
    }
    if (count < minimumParts) {
        return false;
    }
    *version = {parts[0], parts[1], parts[2], parts[3]};
    return true;
}

std::string_view LastPathComponent(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool ParseModuleVersion(std::string_view resolvedPath, FileVersion* version) {
    const std::string_view file = LastPathComponent(resolvedPath);
    const size_t so = file.rfind(".so.");
    if (so != std::string_view::npos && ParseVersionNumbers(file.substr(so + 4), 1, version)) {
        return true;
    }
    std::string_view directory = resolvedPath.substr(0, resolvedPath.size() - file.size());
    while (!directory.empty() && directory.back() == '/') {
        directory.remove_suffix(1);
    }
    std::string_view folder = LastPathComponent(directory);
    folder = folder.substr(0, folder.find_first_of("-+"));
    return ParseVersionNumbers(folder, 2, version);
}

}  // namespace Platform::Native
