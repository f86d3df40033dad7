#include "Host/Loader/ProfilerClassFactory.h"

#include <exception>
#include <memory>
#include <new>
#include <string>

#include "Host/HostDiagnostics.h"
#include "Host/Loader/HostObject.h"
#include "Host/Loader/ProfilerClasses.h"
#include "Host/Loader/ProfilerHost.h"
#include "Host/Loader/ProfilerLibrary.h"
#include "Host/PALThreads.h"
#include "Host/PALTools.h"

namespace {

// The load service command that creates the profiler and registers it with the host.
constexpr DWORD LoadCommand = 0;

constexpr const char* RunsWithout = " The program runs without the profiler.";

struct ReleaseInterface {
    void operator()(IUnknown* p) const { p->Release(); }
};
// Owns the one reference a COM-style object was created with, or one taken for it.
template <class T>
using Owned = std::unique_ptr<T, ReleaseInterface>;

}  // namespace

ProfilerClassFactory::ProfilerClassFactory(REFCLSID clsid) : m_Clsid(clsid) {}

HRESULT ProfilerClassFactory::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppvObject = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG ProfilerClassFactory::AddRef() {
    return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ProfilerClassFactory::Release() {
    const ULONG remaining = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

HRESULT ProfilerClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    try {
        return LoadProfiler(riid, ppvObject);
    } catch (const std::bad_alloc&) {
        HostDiagnostics::ReportFailure({"out of memory while loading the profiler.", RunsWithout});
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        HostDiagnostics::ReportFailure(
            {"loading the profiler failed: ", e.what(), ".", RunsWithout});
        return E_FAIL;
    } catch (...) {
        HostDiagnostics::ReportFailure(
            {"loading the profiler failed with an unknown exception.", RunsWithout});
        return E_FAIL;
    }
}

HRESULT ProfilerClassFactory::LoadProfiler(REFIID riid, void** ppvObject) {
    const std::string path = ProfilerLibrary::ResolvePath();
    const std::string entryName = ProfilerClasses::EntryPointName(m_Clsid);
    const ProfilerLibrary::Lookup lookup = ProfilerLibrary::FindEntryPoint(path, entryName);
    if (lookup.pEntry == nullptr) {
        HostDiagnostics::ReportFailure({lookup.error.c_str(), RunsWithout});
        return lookup.status;
    }

    Owned<ProfilerHost> pProfilerHost(new ProfilerHost());
    Owned<HostObject> pHost;
    {
        Owned<PALThreads> pThreads(new PALThreads());
        Owned<PALTools> pTools(new PALTools());
        pHost.reset(new HostObject(pThreads.get(), pTools.get(), pProfilerHost.get()));
    }
    // The library takes references of its own on the services it keeps.
    const HRESULT status = lookup.pEntry(LoadCommand, pHost.get());
    pHost.reset();
    if (status != S_OK) {
        HostDiagnostics::ReportFailure(
            "the profiler's entry point '" + entryName + "' in '" + path + "' failed with status " +
            HostDiagnostics::FormatStatus(status) +
            ". Check the profiler's log file for the reason." + RunsWithout);
        return FAILED(status) ? status : E_FAIL;
    }

    Owned<ICorProfilerCallback2> pCallback(pProfilerHost->GetProfilerCallback());
    if (pCallback == nullptr) {
        HostDiagnostics::ReportFailure("the profiler's entry point '" + entryName + "' in '" +
                                       path + "' handed no callback object to the host." +
                                       RunsWithout);
        return E_UNEXPECTED;
    }
    const HRESULT answer = pCallback->QueryInterface(riid, ppvObject);
    if (FAILED(answer)) {
        *ppvObject = nullptr;
        HostDiagnostics::ReportFailure(
            "the profiler's callback object does not answer for the interface " +
            ProfilerClasses::Format(riid) + " the runtime asked for (status " +
            HostDiagnostics::FormatStatus(answer) + ")." + RunsWithout);
    }
    return answer;
}

HRESULT ProfilerClassFactory::LockServer(BOOL fLock) {
    return S_OK;
}
