#include "Util/TempFile.h"

#include <stdexcept>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/FileSystem.h"
#include "Platform/Format.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/NoDestructor.h"
#include "Util/SpinLock.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr WCHAR PLATFORM_SEPARATOR = u'/';
constexpr size_t PREFIX_LENGTH = 3;
constexpr size_t NAME_DIGITS_AND_PREFIX = 8;
constexpr DWORD MAX_ATTEMPTS = 16;
constexpr size_t PATH_CAPACITY = 4096;
// What a formatter reports when the text does not fit its buffer.
constexpr HRESULT E_INSUFFICIENT_BUFFER = MakeHResult(0x8007007A);

// Guards TempDirectory(); taken by any thread that reads or changes the setting.
SpinLock g_TempDirectoryLock;

// Empty: the default. Never destroyed: process detach clears it after static destructors ran.
WString& TempDirectory() {
    static NoDestructor<WString> s_Directory;
    return *s_Directory;
}

// Guards g_RandomState and g_RandomSeeded; taken for the two draws of each name attempt.
SpinLock g_RandomLock;
DWORD g_RandomState = 0;
bool g_RandomSeeded = false;

bool IsSeparator(WCHAR c) {
    return c == u'\\' || c == u'/';
}

DWORD DrawRandom() {
    g_RandomState = g_RandomState * 214013u + 2531011u;
    return (g_RandomState >> 16) & 0x7FFF;
}

DWORD NextNameValue(size_t digits) {
    DWORD r1;
    DWORD r2;
    {
        SpinLockGuard guard(g_RandomLock);
        if (!g_RandomSeeded) {
            g_RandomState = Platform::GetTickCount();
            g_RandomSeeded = true;
        }
        r1 = DrawRandom();
        r2 = DrawRandom();
    }
    DWORD value = (r1 << 31) | r2;
    DWORD bits = static_cast<DWORD>(4 * digits);
    return bits >= 32 ? value : value & ((DWORD{1} << bits) - 1);
}

bool CreateNewFileAcceptor(const WString& path, void*) {
    return Platform::CreateNewFile(path);
}

}  // namespace

WString GetTempDirectory() {
    {
        SpinLockGuard guard(g_TempDirectoryLock);
        if (!TempDirectory().empty()) {
            return TempDirectory();
        }
    }
    return Platform::GetSystemTempDirectory();
}

void SetTempDirectory(const WCHAR* pPath) {
    WString path = pPath != nullptr ? WString(pPath) : WString();
    if (!path.empty()) {
        EnsureDirectory(path);
    }
    SpinLockGuard guard(g_TempDirectoryLock);
    TempDirectory().swap(path);
}

void EnsureDirectory(const WString& path) {
    if (!IsAbsolutePath(path)) {
        throw std::runtime_error("Absolute path required");
    }

    std::vector<WString> directories;
    for (size_t i = 1; i < path.size(); ++i) {
        if (IsSeparator(path[i])) {
            directories.push_back(path.substr(0, i));
        }
    }
    if (!IsSeparator(path.back())) {
        directories.push_back(path);
    }

    for (const WString& directory : directories) {
        switch (Platform::FindPath(directory)) {
        case Platform::FindResult::NotFound:
            if (!Platform::CreateDirectory(directory)) {
                throw std::runtime_error("Can't create directory");
            }
            break;
        case Platform::FindResult::File:
            throw std::runtime_error("File with the same name already exist");
        case Platform::FindResult::Directory:
            break;
        }
    }
}

WString CreateUniqueTempName(const WCHAR* pPrefix, TempNameAcceptor accept, void* pContext) {
    WString prefix = pPrefix != nullptr ? WString(pPrefix) : WString();
    if (prefix.size() > PREFIX_LENGTH) {
        prefix.resize(PREFIX_LENGTH);
    }
    const size_t digits = NAME_DIGITS_AND_PREFIX - prefix.size();
    const WString base = CombinePath(GetTempDirectory(), prefix);

    for (DWORD attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        DWORD value = NextNameValue(digits);
        WString path;
        if (!Platform::FormatWide(&path, PATH_CAPACITY, "%s%0*X.tmp", base.c_str(),
                                  static_cast<int>(digits), value)) {
            throw _hr_error("Can't generate temp path name", E_INSUFFICIENT_BUFFER);
        }
        if (accept(path, pContext)) {
            return path;
        }
        Log::Format("InvalidTempNameGeneration iteration=%u path='%S'", attempt, path.c_str());
    }
    throw std::runtime_error("Out of allowed iteration");
}

WString CreateTempFile(const WCHAR* pPrefix) {
    return CreateUniqueTempName(pPrefix, &CreateNewFileAcceptor, nullptr);
}

WString CombinePath(const WString& directory, const WString& name) {
    WString result = directory;
    if (!result.empty() && !IsSeparator(result.back())) {
        result += PLATFORM_SEPARATOR;
    }
    result += name;
    return result;
}

bool IsAbsolutePath(const WString& path) {
    return !path.empty() && IsSeparator(path[0]);
}

void SeedTempNameGenerator(DWORD seed) {
    SpinLockGuard guard(g_RandomLock);
    g_RandomState = seed;
    g_RandomSeeded = true;
}
