#include "TraceProfiler.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The tests only look for ASCII names; anything else becomes '?'.
std::string Narrow(const WCHAR* pText, size_t length) {
    std::string text;
    for (size_t i = 0; i < length && pText[i] != u'\0'; ++i) {
        text += pText[i] < 0x80 ? static_cast<char>(pText[i]) : '?';
    }
    return text;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

}  // namespace

TraceProfiler::TraceProfiler(int traceFd) : m_TraceFd(traceFd) {}

TraceProfiler::~TraceProfiler() {
    ::close(m_TraceFd);
}

void TraceProfiler::Trace(const std::string& line) {
    const std::string text = line + "\n";
    std::lock_guard<std::mutex> guard(m_TraceLock);
    // O_APPEND and one write a line: lines stay whole even if the process dies right after.
    const ssize_t written = ::write(m_TraceFd, text.data(), text.size());
    (void)written;
}

HRESULT TraceProfiler::Initialize(IUnknown* pICorProfilerInfoUnk) {
    HRESULT hr = pICorProfilerInfoUnk->QueryInterface(IID_ICorProfilerInfo,
                                                      reinterpret_cast<void**>(&m_pInfo));
    if (FAILED(hr)) {
        Trace("Initialize queryInfo=" + Hex(hr));
        return hr;
    }
    // QV_FAKE_PROFILER_MASK (hexadecimal) replaces the mask: the benchmarks' floor profiler
    // asks for a kind's callbacks and does nothing in them.
    DWORD mask = COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_MODULE_LOADS;
    if (const char* pMask = std::getenv("QV_FAKE_PROFILER_MASK")) {
        mask = static_cast<DWORD>(std::strtoul(pMask, nullptr, 16));
    }
    hr = m_pInfo->SetEventMask(mask);
    Trace("Initialize setEventMask=" + Hex(hr));
    TraceRuntimeInformation();
    return S_OK;
}

void TraceProfiler::TraceRuntimeInformation() {
    ICorProfilerInfo3* pInfo3 = nullptr;
    if (FAILED(m_pInfo->QueryInterface(IID_ICorProfilerInfo3, reinterpret_cast<void**>(&pInfo3)))) {
        Trace("Runtime noInfo3");
        return;
    }
    USHORT instance = 0, major = 0, minor = 0, build = 0, qfe = 0;
    COR_PRF_RUNTIME_TYPE type{};
    WCHAR version[64] = {};
    ULONG length = 0;
    const HRESULT hr = pInfo3->GetRuntimeInformation(&instance, &type, &major, &minor, &build, &qfe,
                                                     64, &length, version);
    pInfo3->Release();
    if (FAILED(hr)) {
        Trace("Runtime status=" + Hex(hr));
        return;
    }
    Trace("Runtime type=" + std::to_string(type) + " version=" + std::to_string(major) + "." +
          std::to_string(minor) + "." + std::to_string(build));
}

HRESULT TraceProfiler::Shutdown() {
    Trace("Shutdown");
    if (m_pInfo != nullptr) {
        m_pInfo->Release();
        m_pInfo = nullptr;
    }
    return S_OK;
}

HRESULT TraceProfiler::ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) {
    WCHAR name[1024] = {};
    ULONG length = 0;
    LPCBYTE pBase = nullptr;
    AssemblyID assemblyId = 0;
    const HRESULT hr = m_pInfo->GetModuleInfo(moduleId, &pBase, 1024, &length, name, &assemblyId);
    if (FAILED(hr)) {
        Trace("ModuleLoadFinished status=" + Hex(hr));
        return S_OK;
    }
    const std::string path = Narrow(name, length);
    const std::string::size_type slash = path.rfind('/');
    Trace("ModuleLoadFinished " + (slash == std::string::npos ? path : path.substr(slash + 1)));
    return S_OK;
}

HRESULT TraceProfiler::ThreadCreated(ThreadID threadId) {
    Trace("ThreadCreated");
    return S_OK;
}

HRESULT TraceProfiler::ThreadNameChanged(ThreadID threadId, ULONG cchName, WCHAR name[]) {
    Trace("ThreadNameChanged " + (name != nullptr ? Narrow(name, cchName) : std::string()));
    return S_OK;
}
