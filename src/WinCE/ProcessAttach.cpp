#include "WinCE/ProcessAttach.h"

#include "Platform/Com.h"
#include "Util/Log.h"
#include "Util/Settings.h"
#include "Util/TempFile.h"

GUID g_ProcessGuid = GUID_NULL;
DWORD g_ShowAttachMessage = 0;
bool g_AttachFailed = false;

namespace {

// Settings that cannot be read keep their defaults, without a message.
template <class Fn>
void IgnoreFailure(Fn&& fn) noexcept {
    try {
        fn();
    } catch (...) {
    }
}

}  // namespace

bool ProcessAttach() {
    // Thread attach and detach notifications do not exist for shared libraries here.
    IgnoreFailure([] {
        WString path;
        ReadTempPathSetting(path);
        SetTempDirectory(path.c_str());
    });
    IgnoreFailure([] {
        DWORD mask = 0;
        ReadLogMaskSetting(mask);
        Log::Initialize(mask);
    });
    IgnoreFailure([] {
        DWORD value = 0;
        ReadAttachSetting(value);
        g_ShowAttachMessage = value;
    });
    const HRESULT hr = CoCreateGuid(&g_ProcessGuid);
    if (FAILED(hr)) {
        Log::ErrorFormat("Can't generate unique process id (COM error %08X)",
                         static_cast<unsigned>(hr));
        Log::Finish();
        return false;
    }
    const GUID& g = g_ProcessGuid;
    Log::Format("ProcessGuid={%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
    return true;
}

void ProcessDetach() {
    Log::Finish();
    SetTempDirectory(nullptr);
}
