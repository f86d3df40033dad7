// Process and thread identity, the process command line and executable path, loaded modules.
#pragma once

#include <vector>

#include "Platform/Types.h"

namespace Platform {

DWORD GetCurrentProcessId();
// The kernel thread id of the calling thread (the id the runtime reports for OS threads).
DWORD GetCurrentThreadId();

// The calling thread's scheduling priority in the platform's own units (lower runs first), and
// the value that asks for the highest. Raising a priority may be refused (on Linux it needs the
// privilege to lower a nice value); SetCurrentThreadPriority then answers false and changes
// nothing.
constexpr int THREAD_PRIORITY_TIME_CRITICAL = -20;
int GetCurrentThreadPriority();
bool SetCurrentThreadPriority(int priority);
// Names the calling thread for the system's tools (thread lists, profilers); at most 15
// characters are kept. False when the system refuses.
bool SetCurrentThreadName(const char* pName);
// Full path of the process's executable; false when it cannot be read.
bool GetExecutablePath(WString* path);
// The process's arguments after the program name, joined as JoinCommandLineArguments does. Empty
// when the process has no arguments.
WString GetCommandLineArguments();
// The command line as shown to users: ComposeCommandLine of the executable path and the arguments.
// Empty when the executable path cannot be read.
WString ComposeProcessCommandLine();

// Arguments joined by blanks; an argument that contains a blank is enclosed in double quotes.
WString JoinCommandLineArguments(const std::vector<WString>& arguments);
// A double quote, the executable path, a double quote, then a blank and the arguments when they
// are not empty.
WString ComposeCommandLine(const WString& executablePath, const WString& arguments);

// A module loaded into the process, found by its file name (case-sensitive, without directory;
// for example "libcoreclr.so"; the main program answers to its executable's name). The handle is
// the address where the module's image starts.
struct ModuleHandleObject;
using ModuleHandle = ModuleHandleObject*;
ModuleHandle GetModuleHandle(const WString& fileName);  // null when not loaded
bool GetModuleFileName(ModuleHandle module, WString* fullPath);

struct FileVersion {
    WORD major;
    WORD minor;
    WORD build;
    WORD revision;
};
// The version of a loaded module: parsed from the trailing ".so.A.B.C" of its resolved file
// name, or from its directory name (a versioned runtime folder such as ".../10.0.1/").
bool GetModuleVersion(ModuleHandle module, FileVersion* version);

}  // namespace Platform
