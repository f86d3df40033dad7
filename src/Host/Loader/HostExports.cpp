// The one function the runtime looks up in libqvhost.so: it names the profiler kind by class
// identifier (CORECLR_PROFILER) and expects a class factory for it.
#include "Host/Loader/HostExports.h"

#include <new>
#include <string>

#include "Host/HostDiagnostics.h"
#include "Host/Loader/ProfilerClassFactory.h"
#include "Host/Loader/ProfilerClasses.h"

namespace {

void ReportUnknownClass(REFCLSID clsid) {
    try {
        HostDiagnostics::ReportFailure(
            "CORECLR_PROFILER names " + ProfilerClasses::Format(clsid) +
            ", which is no profiler kind of this host; use " +
            ProfilerClasses::Format(ProfilerClasses::Known[0]) + " (tracing), " +
            ProfilerClasses::Format(ProfilerClasses::Known[1]) + " (sampling) or " +
            ProfilerClasses::Format(ProfilerClasses::Known[2]) + " (memory).");
    } catch (...) {
        // Without memory for the text the status alone has to do.
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID rclsid,
                                                                            REFIID riid,
                                                                            void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!ProfilerClasses::IsKnown(rclsid)) {
        ReportUnknownClass(rclsid);
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    ProfilerClassFactory* pFactory = new (std::nothrow) ProfilerClassFactory(rclsid);
    if (pFactory == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = pFactory->QueryInterface(riid, ppv);
    pFactory->Release();
    return hr;
}
