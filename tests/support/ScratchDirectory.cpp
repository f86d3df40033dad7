#include "ScratchDirectory.h"

#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <system_error>

#include "Util/Utf8.h"

namespace {

std::atomic<unsigned> g_Sequence{0};

}  // namespace

ScratchDirectory::ScratchDirectory() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate =
            base / ("qvtest-" + std::to_string(::getpid()) + "-" + std::to_string(g_Sequence++));
        if (std::filesystem::create_directory(candidate)) {
            m_Path = candidate;
            return;
        }
    }
    throw std::runtime_error("no fresh scratch directory could be made under the temp directory");
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_Path, ignored);
}

WString ScratchDirectory::Wide(const std::string& relative) const {
    std::string text = relative.empty() ? m_Path.string() : (m_Path / relative).string();
    return FromUtf8(text);
}
