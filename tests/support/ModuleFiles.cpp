#include "support/ModuleFiles.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "Bridge/FileBridgeStream.h"
#include "Profiler/ModuleImageReader.h"
#include "support/FrameworkAssemblies.h"

namespace {

std::vector<char> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::logic_error("can't read " + path.string());
    }
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::vector<BYTE> ReadModuleBlob(const std::filesystem::path& path) {
    FileBridgeStream stream;
    stream.Open(WidePath(path), FileBridgeStream::AccessRead);
    std::vector<BYTE> blob;
    if (!ReadModuleMetaData(stream, blob)) {
        blob.clear();
    }
    return blob;
}

GUID ReadModuleMvid(const std::filesystem::path& path) {
    const std::vector<BYTE> blob = ReadModuleBlob(path);
    if (blob.empty()) {
        throw std::logic_error(path.string() + " is no managed module");
    }
    GUID mvid;
    std::memcpy(&mvid, FindModuleMvid(blob), sizeof(mvid));
    return mvid;
}

GUID NumberedMvid(uint32_t number) {
    return GUID{number, 0x7E57, 0x4D1D, {0xA5, 0x5A, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
}

std::filesystem::path CopyModuleWithMvid(const std::filesystem::path& source,
                                         const std::filesystem::path& target, const GUID& mvid) {
    const GUID old = ReadModuleMvid(source);
    std::vector<char> content = ReadAll(source);
    const char* pOld = reinterpret_cast<const char*>(&old);
    // A random 16-byte value occurs in the file only where the GUID heap holds it.
    auto found = std::search(content.begin(), content.end(), pOld, pOld + sizeof(old));
    if (found == content.end()) {
        throw std::logic_error("the MVID of " + source.string() + " is not in its file");
    }
    std::memcpy(&*found, &mvid, sizeof(mvid));
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::logic_error("can't write " + target.string());
    }
    return target;
}
