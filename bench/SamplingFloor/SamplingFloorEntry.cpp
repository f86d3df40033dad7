// The floor profiler's load entry point, exported under the sampling kind's name so that the
// host loads it in the sampling kind's place.
#include "SamplingFloorProfiler.h"
#include "WinCE/IPALProfilerHost.h"

namespace {

constexpr HRESULT LoadFailed = MakeHResult(0x80000000);

// Held for the life of the process, as the profiler library holds its own.
SamplingFloorProfiler* g_pProfiler = nullptr;
IPALProfilerHost* g_pProfilerHost = nullptr;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT
InitializeProfiler_D37A1B78_6DC5_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    if (command != 0 || pHost == nullptr || g_pProfiler != nullptr) {
        return command == 1 ? S_OK : LoadFailed;
    }
    g_pProfiler = new SamplingFloorProfiler();
    if (FAILED(pHost->QueryInterface(IID_IPALProfilerHost,
                                     reinterpret_cast<void**>(&g_pProfilerHost)))) {
        return LoadFailed;
    }
    return SUCCEEDED(g_pProfilerHost->SetProfilerCallback(g_pProfiler)) ? S_OK : LoadFailed;
}
