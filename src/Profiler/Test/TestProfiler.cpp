#include "Profiler/Test/TestProfiler.h"

#include <algorithm>

#include "Platform/Com.h"
#include "WinCE/Bridge.h"

namespace {

constexpr ULONG ModuleNameCapacity = 1024;

}  // namespace

TestProfiler::TestProfiler(LONG* pTotalRef, Bridge* pBridge) : BaseProfiler(pTotalRef, pBridge) {
    SetCallbackLogging("TProf", S_OK);
    if (pBridge != nullptr) {
        pBridge->SetClient(&m_ClientInfo, &m_Event);
    }
}

TestProfiler::~TestProfiler() = default;

DWORD TestProfiler::GenerateSnapshotSequenceGuid(GUID* pSequence) {
    CoCreateGuid(pSequence);
    return 0;
}

WString TestProfiler::ModuleName(ModuleID moduleId) {
    ICorProfilerInfo* pInfo = GetInfo();
    WCHAR name[ModuleNameCapacity] = {};
    ULONG length = 0;
    LPCBYTE pBase = nullptr;
    AssemblyID assemblyId = 0;
    if (pInfo == nullptr || FAILED(pInfo->GetModuleInfo(moduleId, &pBase, ModuleNameCapacity,
                                                        &length, name, &assemblyId))) {
        return u"???";
    }
    // The length counts the terminating zero; a longer name comes back cut.
    length = std::min(length, ModuleNameCapacity);
    return WString(name, std::find(name, name + length, u'\0'));
}

HRESULT STDMETHODCALLTYPE TestProfiler::ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) {
    if (Log::IsEnabled(LogComponent::ModuleCb)) {
        const WString name = ModuleName(moduleId);
        Log::Format("TProf::ModuleLoadFinished mid=%p hr=%08X name='%S'", Id(moduleId), hrStatus,
                    name.c_str());
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestProfiler::ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                          WCHAR name[]) {
    if (Log::IsEnabled(LogComponent::ThreadCb)) {
        // The count may include the terminating zero.
        const WString text =
            name != nullptr ? WString(name, std::find(name, name + cchName, u'\0')) : WString();
        Log::Format("TProf::ThreadNameChanged tid=%p name='%S'", Id(threadId), text.c_str());
    }
    return S_OK;
}
