#include "Host/Loader/ProfilerLibrary.h"

#include <dlfcn.h>

#include <cstdlib>

namespace {

std::string LastLoaderError() {
    const char* pText = dlerror();
    return pText != nullptr ? pText : "no reason given";
}

// The directory of the module holding this code, with a trailing slash; empty when unknown, so
// that the library is then searched for the way the dynamic loader searches.
std::string OwnDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ProfilerLibrary::ResolvePath), &info) == 0 ||
        info.dli_fname == nullptr) {
        return std::string();
    }
    const std::string modulePath = info.dli_fname;
    const std::string::size_type slash = modulePath.rfind('/');
    return slash == std::string::npos ? std::string() : modulePath.substr(0, slash + 1);
}

}  // namespace

std::string ProfilerLibrary::ResolvePath() {
    const char* pOverride = std::getenv(PathVariable);
    if (pOverride != nullptr && pOverride[0] != '\0') {
        return pOverride;
    }
    return OwnDirectory() + FileName;
}

ProfilerLibrary::Lookup ProfilerLibrary::FindEntryPoint(const std::string& path,
                                                        const std::string& entryName) {
    Lookup result;
    // RTLD_NODELETE: a later dlclose by anyone must not unmap code the runtime still calls.
    void* pLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (pLibrary == nullptr) {
        result.status = HOST_E_LIBRARY_NOT_LOADED;
        result.error = "can't load the profiler library '" + path + "': " + LastLoaderError() +
                       ". Check that " + FileName + " lies beside libqvhost.so, or set " +
                       PathVariable + " to its full path.";
        return result;
    }
    dlerror();
    void* pSymbol = dlsym(pLibrary, entryName.c_str());
    if (pSymbol == nullptr) {
        result.status = HOST_E_ENTRY_NOT_FOUND;
        result.error = "the profiler library '" + path + "' has no entry point '" + entryName +
                       "': " + LastLoaderError() +
                       ". Check that CORECLR_PROFILER names a profiler kind the library offers "
                       "and that the library was built together with this host.";
        return result;
    }
    result.pEntry = reinterpret_cast<ProfilerEntryPoint>(pSymbol);
    return result;
}
