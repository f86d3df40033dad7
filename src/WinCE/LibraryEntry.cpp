// The library's process attach and detach, run by the loader when libqvprofiler.so is loaded
// into and unloaded from the process. Linked only into the shared library: a program that links
// the static core decides itself when to attach.
#include "WinCE/ProcessAttach.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
    // The loader cannot be told to refuse from here: a failed attach makes every load entry
    // point refuse instead.
    g_AttachFailed = !ProcessAttach();
}

__attribute__((destructor)) void OnLibraryUnload() {
    ProcessDetach();
}

}  // namespace
