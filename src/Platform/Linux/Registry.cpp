#include "Platform/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "Platform/Linux/NativeText.h"
#include "Platform/Linux/RegistryFile.h"
#include "Platform/Linux/WholeFile.h"
#include "Platform/SystemInfo.h"

namespace Platform {

// An open key: the file content it was opened on, so that a re-read never changes an open key.
struct RegistryKeyObject {
    std::shared_ptr<const Native::RegistryFile> m_pFile;
    RegistryRoot m_Root;
    std::string m_Path;  // normalized
};

namespace {

constexpr const char* VersionsKey = "system\\versions";
constexpr const char* AkuValue = "aku";

// What the cached content was read from; any difference means the file must be read again.
struct FileIdentity {
    std::string path;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const FileIdentity& other) const {
        return path == other.path && exists == other.exists && device == other.device &&
               inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// The last file read and what it was read from. Never destroyed: settings may be read at process
// detach, after static destructors.
struct RegistryCache {
    FileIdentity m_Identity;
    std::shared_ptr<const Native::RegistryFile> m_pFile;
};

// Guards Cache(); taken by every thread that opens a key, only for the check (and a re-read when
// the file changed). Never taken from profiler hooks.
std::mutex g_CacheLock;

RegistryCache& Cache() {
    static auto* const s_pCache = new RegistryCache();
    return *s_pCache;
}

FileIdentity IdentifyFile(const std::string& path) {
    FileIdentity identity;
    identity.path = path;
    struct stat info {};
    if (!path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        identity.exists = true;
        identity.device = info.st_dev;
        identity.inode = info.st_ino;
        identity.size = info.st_size;
        identity.modified = info.st_mtim;
        identity.changed = info.st_ctim;
    }
    return identity;
}

std::string ReadFileText(const std::string& path) {
    std::string text;
    ReadWholeFile(path.c_str(), &text);
    return text;
}

std::shared_ptr<const Native::RegistryFile> CurrentFile() {
    const FileIdentity identity = IdentifyFile(GetRegistryFilePath());
    std::lock_guard<std::mutex> guard(g_CacheLock);
    if (Cache().m_pFile == nullptr || !(identity == Cache().m_Identity)) {
        const std::string text = identity.exists ? ReadFileText(identity.path) : std::string();
        Cache().m_pFile =
            std::make_shared<const Native::RegistryFile>(Native::RegistryFile::Parse(text));
        Cache().m_Identity = identity;
    }
    return Cache().m_pFile;
}

// The kernel release stands in for the device image version when the file does not give one.
bool IsAkuFallbackKey(RegistryRoot root, const std::string& normalizedPath) {
    return root == RegistryRoot::LocalMachine &&
           (normalizedPath == "system" || normalizedPath == VersionsKey);
}

bool IsAkuName(const std::string& name) {
    return name.size() == 3 && (name[0] | 0x20) == AkuValue[0] && (name[1] | 0x20) == AkuValue[1] &&
           (name[2] | 0x20) == AkuValue[2];
}

Native::RegistryValue KernelReleaseValue() {
    const WString release = GetKernelRelease();
    Native::RegistryValue value;
    value.type = REG_SZ;
    for (WCHAR unit : release) {
        value.data.push_back(static_cast<BYTE>(unit & 0xFF));
        value.data.push_back(static_cast<BYTE>(unit >> 8));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

}  // namespace

std::string GetRegistryFilePath() {
    const char* path = std::getenv("QUORVELAN_REGISTRY");
    return path != nullptr ? std::string(path) : std::string();
}

LONG RegOpenKey(RegistryRoot root, const WString& subKey, RegistryKey* key) {
    if (key == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *key = nullptr;
    std::shared_ptr<const Native::RegistryFile> pFile = CurrentFile();
    std::string path = Native::RegistryFile::NormalizeKeyPath(Native::ToUtf8(subKey));
    if (!pFile->HasKey(root, path) && !IsAkuFallbackKey(root, path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *key = new RegistryKeyObject{std::move(pFile), root, std::move(path)};
    return ERROR_SUCCESS;
}

LONG RegCloseKey(RegistryKey key) {
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValue(RegistryKey key, const WString& valueName, DWORD* type, BYTE* data,
                   DWORD* size) {
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (data != nullptr && size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string name = Native::ToUtf8(valueName);
    const Native::RegistryValue* pValue = key->m_pFile->FindValue(key->m_Root, key->m_Path, name);
    Native::RegistryValue fallback;
    if (pValue == nullptr && key->m_Root == RegistryRoot::LocalMachine &&
        key->m_Path == VersionsKey && IsAkuName(name)) {
        fallback = KernelReleaseValue();
        pValue = &fallback;
    }
    if (pValue == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    const auto needed = static_cast<DWORD>(pValue->data.size());
    if (type != nullptr) {
        *type = pValue->type;
    }
    if (data == nullptr) {
        if (size != nullptr) {
            *size = needed;
        }
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0) {
        std::memcpy(data, pValue->data.data(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

}  // namespace Platform
