#include "FloorProfiler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Platform/Cor/CorMetaData.h"

// FloorHooksX64.S
extern "C" void QvFloorBareHook(FunctionIDOrClientID);
extern "C" void QvFloorClobberSse();
extern "C" void QvFloorClobberAvx();
extern "C" void QvFloorClobberAvx512();

namespace {

// The tracing profiler's event mask: thread and module events, exceptions, code transitions,
// enter/leave, suspensions, profiler images, no inlining.
constexpr DWORD EVENT_MASK = COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_MODULE_LOADS |
                             COR_PRF_MONITOR_EXCEPTIONS | COR_PRF_MONITOR_CODE_TRANSITIONS |
                             COR_PRF_MONITOR_ENTERLEAVE | COR_PRF_MONITOR_SUSPENDS |
                             COR_PRF_USE_PROFILE_IMAGES | COR_PRF_DISABLE_INLINING;
static_assert(EVENT_MASK == (0x204 | 0x20011840 | 0x200000));

std::string Variable(const char* pName) {
    const char* pValue = std::getenv(pName);
    return pValue != nullptr ? pValue : "";
}

std::string Narrow(const WCHAR* pText) {
    std::string text;
    for (; *pText != u'\0'; ++pText) {
        text += *pText < 0x80 ? static_cast<char>(*pText) : '?';
    }
    return text;
}

const char* const MODE_NAMES[] = {"empty", "count", "clobber"};
const char* const HOOKS_NAMES[] = {"fast", "bare", "version2"};

}  // namespace

FloorProfiler::FloorProfiler() : m_Width(HookStubs::DetectVectorWidth()) {
    const std::string mode = Variable("QV_FLOOR_PROFILER_MODE");
    if (mode == "count") {
        m_Mode = Mode::Count;
    } else if (mode == "clobber") {
        m_Mode = Mode::Clobber;
    } else if (!mode.empty() && mode != "empty") {
        m_SettingsError = "unknown QV_FLOOR_PROFILER_MODE " + mode;
    }
    const std::string hooks = Variable("QV_FLOOR_PROFILER_HOOKS");
    if (hooks == "bare") {
        m_Hooks = Hooks::Bare;
    } else if (hooks == "version2") {
        m_Hooks = Hooks::Version2;
    } else if (!hooks.empty() && hooks != "fast") {
        m_SettingsError = "unknown QV_FLOOR_PROFILER_HOOKS " + hooks;
    }
    const std::string vector = Variable("QV_FLOOR_PROFILER_VECTOR");
    const HookStubs::VectorWidth widest = m_Width;
    for (auto width : {HookStubs::VectorWidth::Sse, HookStubs::VectorWidth::Avx,
                       HookStubs::VectorWidth::Avx512}) {
        if (vector == HookStubs::VectorWidthName(width)) {
            m_Width = width;
        }
    }
    if (!vector.empty() && (vector != HookStubs::VectorWidthName(m_Width) || m_Width > widest)) {
        m_SettingsError = "unusable QV_FLOOR_PROFILER_VECTOR " + vector;
    }
    m_ReportPath = Variable("QV_FLOOR_PROFILER_REPORT");

    // The clobbering targets destroy the widest registers the machine has, whatever the stubs save.
    switch (widest) {
        case HookStubs::VectorWidth::Sse:
            m_pClobber = QvFloorClobberSse;
            break;
        case HookStubs::VectorWidth::Avx:
            m_pClobber = QvFloorClobberAvx;
            break;
        case HookStubs::VectorWidth::Avx512:
            m_pClobber = QvFloorClobberAvx512;
            break;
    }
    m_Targets.pContext = this;
    switch (m_Mode) {
        case Mode::Empty:
            m_Targets.pEnter = m_Targets.pLeave = m_Targets.pTailcall = Empty;
            break;
        case Mode::Count:
            m_Targets.pEnter = Counting<ENTER>;
            m_Targets.pLeave = Counting<LEAVE>;
            m_Targets.pTailcall = Counting<TAILCALL>;
            break;
        case Mode::Clobber:
            m_Targets.pEnter = Clobbering<ENTER>;
            m_Targets.pLeave = Clobbering<LEAVE>;
            m_Targets.pTailcall = Clobbering<TAILCALL>;
            break;
    }
    m_pCounts.reset(new std::atomic<uint64_t>[KIND_COUNT * ID_CAPACITY]());
}

HRESULT FloorProfiler::Initialize(IUnknown* pICorProfilerInfoUnk) {
    if (!m_SettingsError.empty()) {
        m_InitStatus = E_INVALIDARG;
    } else if (FAILED(m_InitStatus = pICorProfilerInfoUnk->QueryInterface(
                          IID_ICorProfilerInfo3, reinterpret_cast<void**>(&m_pInfo)))) {
        m_pInfo = nullptr;
    } else {
        m_InitStatus = Install();
    }
    return m_InitStatus;
}

HRESULT FloorProfiler::Install() {
    if (HRESULT hr = m_pInfo->SetEventMask(EVENT_MASK); FAILED(hr)) {
        return hr;
    }
    HookStubs::SetTargets(&m_Targets);
    if (m_Hooks == Hooks::Version2) {
        const HookStubs::Version2 hooks = HookStubs::Version2Hooks();
        return m_pInfo->SetEnterLeaveFunctionHooks2(hooks.pEnter, hooks.pLeave, hooks.pTailcall);
    }
    if (HRESULT hr = m_pInfo->SetFunctionIDMapper2(Mapper, this); FAILED(hr)) {
        return hr;
    }
    if (m_Hooks == Hooks::Bare) {
        return m_pInfo->SetEnterLeaveFunctionHooks3(QvFloorBareHook, QvFloorBareHook,
                                                    QvFloorBareHook);
    }
    const HookStubs::FastPath hooks = HookStubs::FastPathHooks(m_Width);
    return m_pInfo->SetEnterLeaveFunctionHooks3(hooks.pEnter, hooks.pLeave, hooks.pTailcall);
}

HRESULT FloorProfiler::Shutdown() {
    WriteReport();
    if (m_pInfo != nullptr) {
        m_pInfo->Release();
        m_pInfo = nullptr;
    }
    return S_OK;
}

UINT_PTR FloorProfiler::Mapper(FunctionID functionId, void* clientData, BOOL* pbHookFunction) {
    *pbHookFunction = TRUE;
    return static_cast<FloorProfiler*>(clientData)->Map(functionId);
}

UINT_PTR FloorProfiler::Map(FunctionID functionId) {
    std::lock_guard<std::mutex> lock(m_MapLock);
    auto it = m_Ids.find(functionId);
    if (it != m_Ids.end()) {
        return it->second;
    }
    UINT_PTR id = 0;
    if (m_Functions.size() < ID_CAPACITY) {
        id = m_Functions.size();
        m_Functions.push_back(functionId);
    }
    m_Ids.emplace(functionId, id);
    // The runtime passes the FunctionID itself for a mapped 0; Count files that under id 0 too.
    return id;
}

void FloorProfiler::Count(Kind kind, UINT_PTR id) {
    if (m_Hooks == Hooks::Version2) {
        id = Map(id);  // version-2 hooks pass the FunctionID
    }
    if (id >= ID_CAPACITY) {
        id = 0;
    }
    m_pCounts[kind * ID_CAPACITY + id].fetch_add(1, std::memory_order_relaxed);
}

void FloorProfiler::Empty(void*, UINT_PTR) {}

template <FloorProfiler::Kind K>
void FloorProfiler::Counting(void* pContext, UINT_PTR id) {
    static_cast<FloorProfiler*>(pContext)->Count(K, id);
}

template <FloorProfiler::Kind K>
void FloorProfiler::Clobbering(void* pContext, UINT_PTR id) {
    auto* pThis = static_cast<FloorProfiler*>(pContext);
    pThis->Count(K, id);
    pThis->m_pClobber();
}

std::string FloorProfiler::NameOf(FunctionID functionId) const {
    IUnknown* pUnknown = nullptr;
    mdToken method = 0;
    if (FAILED(m_pInfo->GetTokenAndMetaDataFromFunction(functionId, IID_IMetaDataImport, &pUnknown,
                                                        &method))) {
        return "?";
    }
    auto* pImport = static_cast<IMetaDataImport*>(pUnknown);
    WCHAR methodName[512] = {};
    WCHAR typeName[512] = {};
    mdTypeDef type = 0;
    ULONG length = 0;
    std::string name = "?";
    if (SUCCEEDED(pImport->GetMethodProps(method, &type, methodName, 512, &length, nullptr, nullptr,
                                          nullptr, nullptr, nullptr)) &&
        SUCCEEDED(pImport->GetTypeDefProps(type, typeName, 512, &length, nullptr, nullptr))) {
        name = Narrow(typeName) + "::" + Narrow(methodName);
    }
    pImport->Release();
    return name;
}

void FloorProfiler::WriteReport() const {
    if (m_ReportPath.empty()) {
        return;
    }
    FILE* pFile = std::fopen(m_ReportPath.c_str(), "w");
    if (pFile == nullptr) {
        return;
    }
    std::fprintf(pFile, "floor mode=%s hooks=%s vector=%s init=%08X%s%s\n",
                 MODE_NAMES[static_cast<int>(m_Mode)], HOOKS_NAMES[static_cast<int>(m_Hooks)],
                 HookStubs::VectorWidthName(m_Width), static_cast<unsigned>(m_InitStatus),
                 m_SettingsError.empty() ? "" : " ", m_SettingsError.c_str());
    std::vector<FunctionID> functions;
    {
        std::lock_guard<std::mutex> lock(m_MapLock);
        functions = m_Functions;
    }
    for (size_t id = 1; id < functions.size(); ++id) {
        const uint64_t enter = m_pCounts[ENTER * ID_CAPACITY + id].load();
        if (enter == 0) {
            continue;
        }
        std::fprintf(pFile, "%llu %llu %llu %s\n", static_cast<unsigned long long>(enter),
                     static_cast<unsigned long long>(m_pCounts[LEAVE * ID_CAPACITY + id].load()),
                     static_cast<unsigned long long>(m_pCounts[TAILCALL * ID_CAPACITY + id].load()),
                     NameOf(functions[id]).c_str());
    }
    std::fclose(pFile);
}
