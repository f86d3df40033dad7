#include "FrameworkAssemblies.h"

#include <cstdlib>
#include <vector>

std::filesystem::path FindFrameworkDirectory() {
    std::vector<std::filesystem::path> roots;
    if (const char* pRoot = std::getenv("DOTNET_ROOT")) {
        roots.emplace_back(pRoot);
    }
    roots.emplace_back("/usr/share/dotnet");
    roots.emplace_back("/usr/lib/dotnet");
    if (const char* pHome = std::getenv("HOME")) {
        roots.emplace_back(std::filesystem::path(pHome) / ".dotnet");
    }
    std::error_code error;
    for (const auto& root : roots) {
        const auto shared = root / "shared" / "Microsoft.NETCore.App";
        for (const auto& entry : std::filesystem::directory_iterator(shared, error)) {
            if (std::filesystem::exists(entry.path() / "System.Private.CoreLib.dll", error)) {
                return entry.path();
            }
        }
    }
    return {};
}

WString WidePath(const std::filesystem::path& path) {
    const std::string text = path.string();
    return WString(text.begin(), text.end());
}
