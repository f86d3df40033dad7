#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "Platform/Types.h"

namespace {

const std::string kLibraryPath = QV_PROFILER_LIBRARY;

const std::set<std::string> kExports = {
    "InitializeProfiler_D37A1B78_6DC3_46FD_BC31_F7C4D5A11C9C",
    "InitializeProfiler_D37A1B78_6DC5_46FD_BC31_F7C4D5A11C9C",
    "InitializeProfiler_D37A1B78_6DC6_46FD_BC31_F7C4D5A11C9C",
    "InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C",
    "InitializeProfiler_D37A1B78_7DC4_46FD_BC31_F7C4D5A11C9C",
    "InitializeProfiler_D37A1B78_7DC5_46FD_BC31_F7C4D5A11C9C",
    "PerformanceProfiler_IsActive",
    "PerformanceProfiler_Begin",
    "PerformanceProfiler_BeginGroup",
    "PerformanceProfiler_EndGroup",
    "PerformanceProfiler_Start",
    "PerformanceProfiler_Stop",
    "PerformanceProfiler_EndDrop",
    "PerformanceProfiler_EndSave",
    "MemoryProfiler_IsActive",
    "MemoryProfiler_ForceGC",
    "MemoryProfiler_Dump",
};

// The names of the library's defined dynamic symbols, as nm lists them.
std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + path + "'";
    FILE* pPipe = popen(command.c_str(), "r");
    if (pPipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return names;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pPipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) {
            names.insert(name);
        } else if (std::istringstream(line) >> type >> name) {
            names.insert(name);
        }
    }
    EXPECT_EQ(pclose(pPipe), 0) << command;
    return names;
}

TEST(ProfilerLibraryExports, ExportExactlyTheEntryPointsAndTheApi) {
    EXPECT_EQ(DefinedDynamicSymbols(kLibraryPath), kExports);
}

TEST(ProfilerLibraryExports, LoadAndAnswerThroughTheirExports) {
    // Never unmapped, as in a profiled process: the library's process-wide state is never
    // destroyed, so unmapping it would leave that state's memory unreachable.
    void* pLibrary = dlopen(kLibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(pLibrary, nullptr) << dlerror();
    for (const std::string& name : kExports) {
        EXPECT_NE(dlsym(pLibrary, name.c_str()), nullptr) << name;
    }
    using EntryPoint = HRESULT (*)(DWORD, IUnknown*);
    auto pEntry = reinterpret_cast<EntryPoint>(
        dlsym(pLibrary, "InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C"));
    ASSERT_NE(pEntry, nullptr);
    EXPECT_EQ(static_cast<DWORD>(pEntry(2, nullptr)), 0x80000000u);
    using ApiCall = DWORD (*)();
    auto pIsActive = reinterpret_cast<ApiCall>(dlsym(pLibrary, "MemoryProfiler_IsActive"));
    ASSERT_NE(pIsActive, nullptr);
    EXPECT_EQ(pIsActive(), 1u);
    dlclose(pLibrary);
}

}  // namespace
