// Large-file interfaces in the 32-bit build too: snapshot and scratch files may pass 2 GiB.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "Platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "Platform/Linux/NativeText.h"

namespace Platform {

std::string ToNativePath(const WString& path) {
    std::string native = Native::ToUtf8(path);
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    return native;
}

WString GetSystemTempDirectory() {
    const char* directory = std::getenv("TMPDIR");
    if (directory == nullptr || *directory == 0) {
        directory = "/tmp";
    }
    return Native::FromUtf8(directory);
}

FindResult FindPath(const WString& path) {
    struct stat info {};
    if (path.empty() || stat(ToNativePath(path).c_str(), &info) != 0) {
        return FindResult::NotFound;
    }
    return S_ISDIR(info.st_mode) ? FindResult::Directory : FindResult::File;
}

bool CreateDirectory(const WString& path) {
    return !path.empty() && mkdir(ToNativePath(path).c_str(), 0777) == 0;
}

bool RemoveDirectory(const WString& path) {
    return !path.empty() && rmdir(ToNativePath(path).c_str()) == 0;
}

bool DeleteFile(const WString& path) {
    return !path.empty() && unlink(ToNativePath(path).c_str()) == 0;
}

bool CreateNewFile(const WString& path) {
    if (path.empty()) {
        return false;
    }
    const int fd = open(ToNativePath(path).c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

FILE* OpenFile(const WString& path, const char* mode) {
    if (path.empty() || mode == nullptr) {
        return nullptr;
    }
    // "e" keeps the descriptor out of programs the profiled process starts.
    char nativeMode[16];
    const size_t length = std::strlen(mode);
    if (length + 2 > sizeof(nativeMode)) {
        return nullptr;
    }
    std::memcpy(nativeMode, mode, length);
    nativeMode[length] = 'e';
    nativeMode[length + 1] = 0;
    return std::fopen(ToNativePath(path).c_str(), nativeMode);
}

bool GetFreeDiskSpace(const WString& path, uint64_t* freeBytes) {
    struct statvfs info {};
    if (freeBytes == nullptr || path.empty() || statvfs(ToNativePath(path).c_str(), &info) != 0) {
        return false;
    }
    *freeBytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

}  // namespace Platform
