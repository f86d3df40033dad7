#include "WinCE/LoadService.h"

#include <stdexcept>
#include <vector>

#include "Platform/Com.h"
#include "Profiler/BaseProfiler.h"
#include "Util/CatchAtEdge.h"
#include "Util/ComRef.h"
#include "Util/HrError.h"
#include "WinCE/PALServices.h"
#include "WinCE/ProcessAttach.h"

namespace {

// The created profiler's callback interface, from load to unload. Touched only by the host's
// load and unload calls, which come one at a time.
constinit PermanentComRef<ICorProfilerCallback2> g_pProfilerCallback;

// Construction references, held for the life of the process: the runtime may call a profiler
// until the very end. Never destroyed, so the objects stay reachable.
std::vector<BaseProfiler*>& HeldProfilers() {
    static auto* pHeld = new std::vector<BaseProfiler*>();
    return *pHeld;
}

void ReleaseHostReferences() noexcept {
    g_pProfilerCallback = nullptr;
    g_pPALProfilerHost = nullptr;
    g_pPALTools = nullptr;
    g_pPALThreads = nullptr;
}

void Load(IUnknown* pHostObject, ProfilerFactory pFactory) {
    g_pPALThreads.QueryFrom(pHostObject, IID_IPALThreads);
    g_pPALTools.QueryFrom(pHostObject, IID_IPALTools);
    g_pPALProfilerHost.QueryFrom(pHostObject, IID_IPALProfilerHost);

    BaseProfiler* pProfiler = pFactory(g_pPALTools.Get());
    HeldProfilers().push_back(pProfiler);
    g_pProfilerCallback.QueryFrom(pProfiler, IID_ICorProfilerCallback2);

    if (!g_pPALProfilerHost) {
        throw _com_error(E_POINTER);
    }
    const HRESULT hr = g_pPALProfilerHost->SetProfilerCallback(g_pProfilerCallback.Get());
    if (FAILED(hr)) {
        throw _hr_error("Can't set profiler callback", hr);
    }
}

void Unload() {
    if (!g_pProfilerCallback) {
        throw _com_error(E_POINTER);
    }
    const HRESULT hr = g_pProfilerCallback->Shutdown();
    if (FAILED(hr)) {
        throw _hr_error("Shutdown error", hr);
    }
    ReleaseHostReferences();
}

}  // namespace

HRESULT RunLoadService(DWORD command, IUnknown* pHostObject, ProfilerFactory pFactory) {
    if (g_AttachFailed) {
        return EDGE_E_LOAD;
    }
    const bool completed = LogEdgeFailure([&] {
        switch (command) {
            case LoadCommandLoad:
                Load(pHostObject, pFactory);
                break;
            case LoadCommandUnload:
                Unload();
                break;
            default:
                throw std::runtime_error("Invalid PAL load service command");
        }
    });
    if (!completed) {
        ReleaseHostReferences();
        return EDGE_E_LOAD;
    }
    return S_OK;
}

ICorProfilerCallback2* GetLoadedProfilerCallback() {
    return g_pProfilerCallback.Get();
}
