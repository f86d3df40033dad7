// The floor profiler's load entry point, exported under the tracing kind's name, since it stands
// in for that kind: command 0 creates the profiler and hands it to the host's IPALProfilerHost.
#include "FloorProfiler.h"
#include "WinCE/IPALProfilerHost.h"

namespace {

constexpr HRESULT LoadFailed = MakeHResult(0x80000000);

// Held for the life of the process: the runtime may call the hooks until the very end.
FloorProfiler* g_pProfiler = nullptr;
IPALProfilerHost* g_pProfilerHost = nullptr;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT
InitializeProfiler_D37A1B78_6DC3_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    if (command != 0 || pHost == nullptr || g_pProfiler != nullptr) {
        return LoadFailed;
    }
    if (FAILED(pHost->QueryInterface(IID_IPALProfilerHost,
                                     reinterpret_cast<void**>(&g_pProfilerHost)))) {
        return LoadFailed;
    }
    g_pProfiler = new FloorProfiler();
    return SUCCEEDED(g_pProfilerHost->SetProfilerCallback(g_pProfiler)) ? S_OK : LoadFailed;
}
