#include "Platform/Process.h"

#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "Platform/Linux/ModuleVersion.h"
#include "Platform/Linux/NativeText.h"
#include "Platform/Linux/WholeFile.h"

namespace Platform {

namespace {

// The kernel thread id, cached per thread: the log asks for it on every line.
thread_local DWORD t_ThreadId = 0;

// A forked child keeps the forking thread's cache but runs under a new id.
void ForgetThreadIdAfterFork() {
    t_ThreadId = 0;
}

bool ReadExecutablePath(std::string* path) {
    char buffer[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (length <= 0) {
        return false;
    }
    path->assign(buffer, static_cast<size_t>(length));
    return true;
}

std::string_view LastPathComponent(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// What dl_iterate_phdr tells about one loaded object: its handle (the start of its first loaded
// segment, never null, unlike the load bias of a fixed-address program) and its file path.
struct ModuleQuery {
    std::string_view fileName;  // find by name ...
    uintptr_t handle = 0;       // ... or by handle
    uintptr_t foundHandle = 0;
    std::string foundPath;
};

uintptr_t ModuleStart(const dl_phdr_info* info) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            return info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
        }
    }
    return 0;
}

int VisitModule(dl_phdr_info* info, size_t, void* context) {
    auto* pQuery = static_cast<ModuleQuery*>(context);
    const uintptr_t start = ModuleStart(info);
    if (start == 0) {
        return 0;
    }
    std::string path;
    if (info->dlpi_name != nullptr && info->dlpi_name[0] != 0) {
        path = info->dlpi_name;
    } else if (!ReadExecutablePath(&path)) {
        return 0;  // the main program, whose name the loader leaves empty
    }
    const bool match = pQuery->handle != 0 ? start == pQuery->handle
                                           : LastPathComponent(path) == pQuery->fileName;
    if (!match) {
        return 0;
    }
    pQuery->foundHandle = start;
    pQuery->foundPath = std::move(path);
    return 1;
}

}  // namespace

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

DWORD GetCurrentThreadId() {
    if (t_ThreadId == 0) {
        // Registered before the first value is cached, so every cached value is covered.
        static const bool registered = pthread_atfork(nullptr, nullptr, &ForgetThreadIdAfterFork) == 0;
        (void)registered;
        t_ThreadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return t_ThreadId;
}

// A thread's nice value: Linux schedules each thread on its own, addressed by its kernel id.
int GetCurrentThreadPriority() {
    errno = 0;
    const int priority = getpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()));
    return errno == 0 ? priority : 0;
}

bool SetCurrentThreadPriority(int priority) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()), priority) == 0;
}

bool SetCurrentThreadName(const char* pName) {
    char name[16] = {};
    std::strncpy(name, pName, sizeof(name) - 1);
    return pthread_setname_np(pthread_self(), name) == 0;
}

bool GetExecutablePath(WString* path) {
    std::string native;
    if (path == nullptr || !ReadExecutablePath(&native)) {
        return false;
    }
    *path = Native::FromUtf8(native);
    return true;
}

WString JoinCommandLineArguments(const std::vector<WString>& arguments) {
    WString line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const WString& argument = arguments[i];
        if (i > 0) {
            line += u' ';
        }
        if (argument.find(u' ') != WString::npos) {
            line += u'"';
            line += argument;
            line += u'"';
        } else {
            line += argument;
        }
    }
    return line;
}

WString ComposeCommandLine(const WString& executablePath, const WString& arguments) {
    WString line = u"\"" + executablePath + u"\"";
    if (!arguments.empty()) {
        line += u' ';
        line += arguments;
    }
    return line;
}

WString GetCommandLineArguments() {
    std::string content;
    if (!ReadWholeFile("/proc/self/cmdline", &content)) {
        return WString();
    }
    std::vector<WString> arguments;
    size_t start = content.find('\0');  // skip the program name
    while (start != std::string::npos && start + 1 < content.size()) {
        ++start;
        size_t end = content.find('\0', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        arguments.push_back(Native::FromUtf8(std::string_view(content).substr(start, end - start)));
        start = end;
    }
    return JoinCommandLineArguments(arguments);
}

WString ComposeProcessCommandLine() {
    WString path;
    if (!GetExecutablePath(&path)) {
        return WString();
    }
    return ComposeCommandLine(path, GetCommandLineArguments());
}

ModuleHandle GetModuleHandle(const WString& fileName) {
    if (fileName.empty()) {
        return nullptr;
    }
    const std::string name = Native::ToUtf8(fileName);
    ModuleQuery query;
    query.fileName = name;
    dl_iterate_phdr(&VisitModule, &query);
    return reinterpret_cast<ModuleHandle>(query.foundHandle);
}

bool GetModuleFileName(ModuleHandle module, WString* fullPath) {
    if (module == nullptr || fullPath == nullptr) {
        return false;
    }
    ModuleQuery query;
    query.handle = reinterpret_cast<uintptr_t>(module);
    dl_iterate_phdr(&VisitModule, &query);
    if (query.foundHandle == 0) {
        return false;
    }
    *fullPath = Native::FromUtf8(query.foundPath);
    return true;
}

bool GetModuleVersion(ModuleHandle module, FileVersion* version) {
    WString path;
    if (version == nullptr || !GetModuleFileName(module, &path)) {
        return false;
    }
    std::string native = Native::ToUtf8(path);
    if (char* resolved = realpath(native.c_str(), nullptr)) {
        native = resolved;
        std::free(resolved);
    }
    return Native::ParseModuleVersion(native, version);
}

}  // namespace Platform
