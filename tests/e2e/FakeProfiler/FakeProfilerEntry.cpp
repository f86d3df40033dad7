// The load entry point of the end-to-end tests' fake profiler library, exported under the first
// test kind's name. It plays the profiler library's part of the host's load path: command 0
// creates the profiler and hands its callback object to the host's IPALProfilerHost. The trace
// file is named by QV_FAKE_PROFILER_TRACE.
#include <fcntl.h>

#include <cstdlib>

#include "TraceProfiler.h"
#include "WinCE/IPALProfilerHost.h"
#include "WinCE/IPALThreads.h"
#include "WinCE/IPALTools.h"

namespace {

constexpr HRESULT LoadFailed = MakeHResult(0x80000000);

// Held for the life of the process, as the profiler library holds its own.
TraceProfiler* g_pProfiler = nullptr;
IPALProfilerHost* g_pProfilerHost = nullptr;

const char* Answers(IUnknown* pHost, REFIID iid) {
    IUnknown* pService = nullptr;
    if (FAILED(pHost->QueryInterface(iid, reinterpret_cast<void**>(&pService)))) {
        return "no";
    }
    pService->Release();
    return "yes";
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT
InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    const char* pTracePath = std::getenv("QV_FAKE_PROFILER_TRACE");
    if (command != 0 || pHost == nullptr || pTracePath == nullptr || g_pProfiler != nullptr) {
        return LoadFailed;
    }
    const int traceFd = ::open(pTracePath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (traceFd < 0) {
        return LoadFailed;
    }
    g_pProfiler = new TraceProfiler(traceFd);
    g_pProfiler->Trace(std::string("Load command=0 threads=") + Answers(pHost, IID_IPALThreads) +
                       " tools=" + Answers(pHost, IID_IPALTools) +
                       " host=" + Answers(pHost, IID_IPALProfilerHost));
    if (FAILED(pHost->QueryInterface(IID_IPALProfilerHost,
                                     reinterpret_cast<void**>(&g_pProfilerHost)))) {
        return LoadFailed;
    }
    return SUCCEEDED(g_pProfilerHost->SetProfilerCallback(g_pProfiler)) ? S_OK : LoadFailed;
}
