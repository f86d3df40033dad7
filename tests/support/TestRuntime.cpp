#include "support/TestRuntime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "Platform/Process.h"
#include "Profiler/Performance/Tracing/HookStubs.h"
#include "support/HookProbe.h"

namespace {

// Writes an out parameter the caller may have passed as null.
template <typename T, typename V>
void Store(T* out, const V& value) {
    if (out != nullptr) {
        *out = value;
    }
}

constexpr HRESULT E_INSUFFICIENT_BUFFER = MakeHResult(0x8007007A);

// Identifier ranges: pointer-like values, above 32 bits on 64-bit builds so that a truncation to
// 32 bits shows, and distinct per kind so that a thread id passed as a module id fails.
constexpr UINT_PTR ID_BASE =
    static_cast<UINT_PTR>(sizeof(void*) == 8 ? 0x00007F3A00000000ull : 0x0A000000ull);
constexpr UINT_PTR THREAD_ID_BASE = ID_BASE + 0x00100000;
constexpr UINT_PTR MODULE_ID_BASE = ID_BASE + 0x00800000;
constexpr UINT_PTR CLASS_ID_BASE = ID_BASE + 0x00C00000;
constexpr UINT_PTR FUNCTION_ID_BASE = ID_BASE + 0x01000000;
constexpr UINT_PTR HANDLE_BASE = 0x00004000;
constexpr UINT_PTR ID_STEP = 0x100;

const IID* const INFO_IIDS[] = {
    &IID_ICorProfilerInfo,  &IID_ICorProfilerInfo2,  &IID_ICorProfilerInfo3, &IID_ICorProfilerInfo4,
    &IID_ICorProfilerInfo5, &IID_ICorProfilerInfo6,  &IID_ICorProfilerInfo7, &IID_ICorProfilerInfo8,
    &IID_ICorProfilerInfo9, &IID_ICorProfilerInfo10,
};
constexpr int HIGHEST_INFO_VERSION = 10;

#if defined(__i386__)
// A hook argument as the stack word a 32-bit caller pushes.
UINT_PTR ToWord(UINT_PTR value) {
    return value;
}
UINT_PTR ToWord(const void* pValue) {
    return reinterpret_cast<UINT_PTR>(pValue);
}
UINT_PTR ToWord(FunctionIDOrClientID id) {
    return id.clientID;
}
#endif

unsigned VectorBytes(HookStubs::VectorWidth width) {
    switch (width) {
        case HookStubs::VectorWidth::Sse:
            return 16;
        case HookStubs::VectorWidth::Avx:
            return 32;
        case HookStubs::VectorWidth::Avx512:
            return 64;
    }
    return 16;
}

}  // namespace

const char* TestRuntime::OperationName(Operation operation) {
    switch (operation) {
        case Operation::QueryInterface:
            return "QueryInterface";
        case Operation::GetEventMask:
            return "GetEventMask";
        case Operation::SetEventMask:
            return "SetEventMask";
        case Operation::GetCurrentThreadID:
            return "GetCurrentThreadID";
        case Operation::GetThreadInfo:
            return "GetThreadInfo";
        case Operation::GetHandleFromThread:
            return "GetHandleFromThread";
        case Operation::GetModuleInfo:
            return "GetModuleInfo";
        case Operation::GetModuleMetaData:
            return "GetModuleMetaData";
        case Operation::SetEnterLeaveFunctionHooks:
            return "SetEnterLeaveFunctionHooks";
        case Operation::SetEnterLeaveFunctionHooks2:
            return "SetEnterLeaveFunctionHooks2";
        case Operation::SetFunctionIDMapper:
            return "SetFunctionIDMapper";
        case Operation::GetFunctionInfo:
            return "GetFunctionInfo";
        case Operation::IsArrayClass:
            return "IsArrayClass";
        case Operation::GetClassIDInfo:
            return "GetClassIDInfo";
        case Operation::GetClassIDInfo2:
            return "GetClassIDInfo2";
        case Operation::SetFunctionIDMapper2:
            return "SetFunctionIDMapper2";
        case Operation::SetEnterLeaveFunctionHooks3:
            return "SetEnterLeaveFunctionHooks3";
        case Operation::DoStackSnapshot:
            return "DoStackSnapshot";
        case Operation::SuspendRuntime:
            return "SuspendRuntime";
        case Operation::ResumeRuntime:
            return "ResumeRuntime";
        case Operation::ForceGC:
            return "ForceGC";
        case Operation::GetObjectSize:
            return "GetObjectSize";
        case Operation::GetClassLayout:
            return "GetClassLayout";
        case Operation::GetBoxClassLayout:
            return "GetBoxClassLayout";
        case Operation::GetArrayObjectInfo:
            return "GetArrayObjectInfo";
        case Operation::GetGenerationBounds:
            return "GetGenerationBounds";
        case Operation::Count:
            break;
    }
    return "?";
}

TestRuntime::TestRuntime() : m_HookVectorBytes(VectorBytes(HookStubs::DetectVectorWidth())) {
    OfferInfoUpTo(HIGHEST_INFO_VERSION);
}

TestRuntime::~TestRuntime() {
    // A reference still held now would be used after the runtime is gone.
    if (ULONG references = m_References.load(); references != 0) {
        ADD_FAILURE() << "the test runtime goes away with " << references
                      << " reference(s) still held";
    }
}

void TestRuntime::OfferInfoUpTo(int version) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Offered.clear();
    if (version <= 0) {
        return;
    }
    m_Offered.push_back(IID_IUnknown);
    for (int i = 0; i < std::min(version, HIGHEST_INFO_VERSION); ++i) {
        m_Offered.push_back(*INFO_IIDS[i]);
    }
}

void TestRuntime::Withhold(REFIID iid) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Offered.erase(std::remove(m_Offered.begin(), m_Offered.end(), iid), m_Offered.end());
}

void TestRuntime::Fail(Operation operation, HRESULT hr) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Injections[static_cast<size_t>(operation)] = Injection{hr, 0, true};
}

void TestRuntime::FailNext(Operation operation, HRESULT hr, unsigned times) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Injections[static_cast<size_t>(operation)] = Injection{hr, times, false};
}

void TestRuntime::Succeed(Operation operation) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Injections[static_cast<size_t>(operation)] = Injection{};
}

unsigned TestRuntime::CallCount(Operation operation) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_CallCounts[static_cast<size_t>(operation)];
}

DWORD TestRuntime::EventMask() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_EventMask;
}

DWORD TestRuntime::EventMaskHigh() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_EventMaskHigh;
}

TestRuntime::InstalledHooks TestRuntime::Hooks() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Hooks;
}

ThreadID TestRuntime::AddThread() {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_ThreadsMade;
    ThreadID threadId = THREAD_ID_BASE + m_ThreadsMade * ID_STEP;
    ThreadState& state = m_Threads[threadId];
    state.handle = reinterpret_cast<HANDLE>(HANDLE_BASE + m_ThreadsMade * 4);
    return threadId;
}

void TestRuntime::BindToCurrentOSThread(ThreadID threadId) {
    DWORD osThreadId = Platform::GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(m_Lock);
    m_BoundOSThreads[osThreadId] = threadId;
    auto it = m_Threads.find(threadId);
    if (it != m_Threads.end()) {
        it->second.osThreadId = osThreadId;
    }
}

void TestRuntime::UnbindCurrentOSThread() {
    DWORD osThreadId = Platform::GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(m_Lock);
    auto bound = m_BoundOSThreads.find(osThreadId);
    if (bound == m_BoundOSThreads.end()) {
        return;
    }
    auto it = m_Threads.find(bound->second);
    if (it != m_Threads.end()) {
        it->second.osThreadId = 0;
    }
    m_BoundOSThreads.erase(bound);
}

void TestRuntime::RemoveThread(ThreadID threadId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Threads.erase(threadId);
    for (auto it = m_BoundOSThreads.begin(); it != m_BoundOSThreads.end();) {
        it = it->second == threadId ? m_BoundOSThreads.erase(it) : std::next(it);
    }
}

HANDLE TestRuntime::HandleOf(ThreadID threadId) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Threads.find(threadId);
    return it == m_Threads.end() ? nullptr : it->second.handle;
}

ModuleID TestRuntime::AddModule(const Module& module) {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_ModulesMade;
    ModuleID moduleId = MODULE_ID_BASE + m_ModulesMade * ID_STEP;
    m_Modules[moduleId] = module;
    return moduleId;
}

void TestRuntime::RemoveModule(ModuleID moduleId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Modules.erase(moduleId);
}

ClassID TestRuntime::AddClass(ModuleID module, mdTypeDef token, ClassID parent,
                              std::vector<ClassID> typeArgs) {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_ClassesMade;
    ClassID classId = CLASS_ID_BASE + m_ClassesMade * ID_STEP;
    ClassState& state = m_Classes[classId];
    state.module = module;
    state.token = token;
    state.parent = parent;
    state.typeArgs = std::move(typeArgs);
    return classId;
}

ClassID TestRuntime::AddArrayClass(ClassID elementClass, ULONG rank, CorElementType elementType) {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_ClassesMade;
    ClassID classId = CLASS_ID_BASE + m_ClassesMade * ID_STEP;
    ClassState& state = m_Classes[classId];
    state.array = true;
    state.elementClass = elementClass;
    state.elementType = elementType;
    state.rank = rank;
    return classId;
}

void TestRuntime::RemoveClass(ClassID classId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Classes.erase(classId);
}

void TestRuntime::MakeComposite(ClassID classId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Classes.find(classId);
    if (it == m_Classes.end()) {
        throw std::logic_error("MakeComposite: the class was not declared");
    }
    it->second.composite = true;
}

void TestRuntime::SetClassParent(ClassID classId, ClassID parent) {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Classes.find(classId);
    if (it == m_Classes.end()) {
        throw std::logic_error("SetClassParent: the class was not declared");
    }
    it->second.parent = parent;
}

FunctionID TestRuntime::AddFunction(ModuleID module, mdToken token, ClassID cls) {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_FunctionsMade;
    FunctionID functionId = FUNCTION_ID_BASE + m_FunctionsMade * ID_STEP;
    m_Functions[functionId] = FunctionState{module, token, cls};
    return functionId;
}

void TestRuntime::RemoveFunction(FunctionID functionId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Functions.erase(functionId);
}

void TestRuntime::SetStack(ThreadID threadId, std::vector<FunctionID> innermostFirst) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Threads.at(threadId).stack = std::move(innermostFirst);
}

void TestRuntime::SetOSThreadId(ThreadID threadId, DWORD osThreadId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Threads.at(threadId).osThreadId = osThreadId;
}

void TestRuntime::SetProbe(std::function<void(Operation)> probe) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Probe = std::move(probe);
}

bool TestRuntime::IsSuspendedByProfiler() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_SuspendedByProfiler;
}

void TestRuntime::RunProbe(Operation operation) {
    std::function<void(Operation)> probe;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        probe = m_Probe;
    }
    if (probe) {
        probe(operation);
    }
}

HRESULT TestRuntime::InitializeProfiler(ICorProfilerCallback2* pProfiler) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_pProfiler = pProfiler;
    }
    return Notify("Initialize", [this](ICorProfilerCallback2& profiler) {
        return profiler.Initialize(static_cast<IUnknown*>(this));
    });
}

HRESULT TestRuntime::ShutdownProfiler() {
    HRESULT hr =
        Notify("Shutdown", [](ICorProfilerCallback2& profiler) { return profiler.Shutdown(); });
    ComRef<ICorProfilerCallback2> pReleased;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        pReleased = std::move(m_pProfiler);
    }
    return hr;
}

HRESULT TestRuntime::NotifyThreadCreated(ThreadID threadId) {
    return Notify("ThreadCreated", [threadId](ICorProfilerCallback2& profiler) {
        return profiler.ThreadCreated(threadId);
    });
}

HRESULT TestRuntime::NotifyThreadAssignedToOSThread(ThreadID threadId, DWORD osThreadId) {
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        m_StateChanged.wait(lock, [this] { return !m_SuspendedByProfiler; });
        ++m_CooperativeCallbacks;
    }
    const HRESULT hr =
        Notify("ThreadAssignedToOSThread", [threadId, osThreadId](ICorProfilerCallback2& p) {
            return p.ThreadAssignedToOSThread(threadId, osThreadId);
        });
    std::lock_guard<std::mutex> lock(m_Lock);
    --m_CooperativeCallbacks;
    m_StateChanged.notify_all();
    return hr;
}

HRESULT TestRuntime::NotifyThreadNameChanged(ThreadID threadId, const WString& name) {
    // The callback takes a writable buffer; the profiler gets a copy of its own to read.
    WString buffer = name;
    return Notify("ThreadNameChanged", [threadId, &buffer](ICorProfilerCallback2& profiler) {
        return profiler.ThreadNameChanged(threadId, static_cast<ULONG>(buffer.size()),
                                          buffer.data());
    });
}

HRESULT TestRuntime::NotifyThreadDestroyed(ThreadID threadId) {
    return Notify("ThreadDestroyed", [threadId](ICorProfilerCallback2& profiler) {
        return profiler.ThreadDestroyed(threadId);
    });
}

HRESULT TestRuntime::NotifyModuleLoadStarted(ModuleID moduleId) {
    return Notify("ModuleLoadStarted", [moduleId](ICorProfilerCallback2& profiler) {
        return profiler.ModuleLoadStarted(moduleId);
    });
}

HRESULT TestRuntime::NotifyModuleLoadFinished(ModuleID moduleId, HRESULT status) {
    return Notify("ModuleLoadFinished", [moduleId, status](ICorProfilerCallback2& profiler) {
        return profiler.ModuleLoadFinished(moduleId, status);
    });
}

ThreadID TestRuntime::StartThreadHere(const WString& name) {
    ThreadID threadId = AddThread();
    NotifyThreadCreated(threadId);
    BindToCurrentOSThread(threadId);
    NotifyThreadAssignedToOSThread(threadId, Platform::GetCurrentThreadId());
    if (!name.empty()) {
        NotifyThreadNameChanged(threadId, name);
    }
    return threadId;
}

void TestRuntime::EndThreadHere(ThreadID threadId) {
    // The thread is still managed while its end is reported.
    NotifyThreadDestroyed(threadId);
    UnbindCurrentOSThread();
    RemoveThread(threadId);
}

ModuleID TestRuntime::LoadModule(const Module& module, HRESULT status) {
    ModuleID moduleId = AddModule(module);
    NotifyModuleLoadStarted(moduleId);
    NotifyModuleLoadFinished(moduleId, status);
    return moduleId;
}

void TestRuntime::CallEnterHook(FunctionID functionId) {
    CallHook(HookKind::Enter, functionId);
}

void TestRuntime::CallLeaveHook(FunctionID functionId) {
    CallHook(HookKind::Leave, functionId);
}

void TestRuntime::CallTailcallHook(FunctionID functionId) {
    CallHook(HookKind::Tailcall, functionId);
}

std::vector<std::string> TestRuntime::HookFaults() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_HookFaults;
}

void TestRuntime::SetHookVectorBytes(unsigned bytes) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_HookVectorBytes = bytes;
}

void TestRuntime::AddHookFaults(std::string faults) {
    if (!faults.empty()) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_HookFaults.push_back(std::move(faults));
    }
}

void TestRuntime::CallHook(HookKind kind, FunctionID functionId) {
    const InstalledHooks hooks = Hooks();
    const bool version3 =
        hooks.pEnter3 != nullptr || hooks.pLeave3 != nullptr || hooks.pTailcall3 != nullptr;
    const bool version2 =
        hooks.pEnter2 != nullptr || hooks.pLeave2 != nullptr || hooks.pTailcall2 != nullptr;
    if (version3 || version2) {
        const std::optional<UINT_PTR> clientId = ClientIdOf(functionId, hooks);
        if (!clientId) {
            return;
        }
        const FunctionIDOrClientID id{*clientId};
        if (version3) {
            if (kind == HookKind::Enter && hooks.pEnter3 != nullptr) {
                InvokeFastPathHook(hooks.pEnter3, kind, id);
            } else if (kind == HookKind::Leave && hooks.pLeave3 != nullptr) {
                InvokeFastPathHook(hooks.pLeave3, kind, id);
            } else if (kind == HookKind::Tailcall && hooks.pTailcall3 != nullptr) {
                InvokeFastPathHook(hooks.pTailcall3, kind, id);
            }
        } else if (kind == HookKind::Enter && hooks.pEnter2 != nullptr) {
            InvokeHook(hooks.pEnter2, functionId, *clientId, COR_PRF_FRAME_INFO{0},
                       static_cast<COR_PRF_FUNCTION_ARGUMENT_INFO*>(nullptr));
        } else if (kind == HookKind::Leave && hooks.pLeave2 != nullptr) {
            InvokeHook(hooks.pLeave2, functionId, *clientId, COR_PRF_FRAME_INFO{0},
                       static_cast<COR_PRF_FUNCTION_ARGUMENT_RANGE*>(nullptr));
        } else if (kind == HookKind::Tailcall && hooks.pTailcall2 != nullptr) {
            InvokeHook(hooks.pTailcall2, functionId, *clientId, COR_PRF_FRAME_INFO{0});
        }
        return;
    }
    if (kind == HookKind::Enter && hooks.pEnter != nullptr) {
        InvokeHook(hooks.pEnter, functionId);
    } else if (kind == HookKind::Leave && hooks.pLeave != nullptr) {
        InvokeHook(hooks.pLeave, functionId);
    } else if (kind == HookKind::Tailcall && hooks.pTailcall != nullptr) {
        InvokeHook(hooks.pTailcall, functionId);
    }
}

std::optional<UINT_PTR> TestRuntime::ClientIdOf(FunctionID functionId,
                                                const InstalledHooks& hooks) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (auto it = m_ClientIds.find(functionId); it != m_ClientIds.end()) {
            return it->second;
        }
    }
    // The mapper is the profiler's code: called outside the lock, like every callback.
    BOOL hook = TRUE;
    UINT_PTR clientId = functionId;
    if (hooks.pMapper2 != nullptr) {
        clientId = hooks.pMapper2(functionId, hooks.pMapper2Data, &hook);
    } else if (hooks.pMapper != nullptr) {
        clientId = hooks.pMapper(functionId, &hook);
    }
    std::optional<UINT_PTR> result;
    if (hook) {
        result = clientId != 0 ? clientId : functionId;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_ClientIds.emplace(functionId, result).first->second;
}

template <class Hook, class... Args>
void TestRuntime::InvokeHook(Hook* pHook, Args... args) {
#if defined(__i386__)
    const uint32_t words[] = {static_cast<uint32_t>(ToWord(args))...};
    AddHookFaults(HookProbe::Call(reinterpret_cast<const void*>(pHook), words, sizeof...(Args)));
#else
    // The runtime's own code calls these on x86-64, as plain functions.
    pHook(args...);
#endif
}

template <class Hook>
void TestRuntime::InvokeFastPathHook(Hook* pHook, HookKind kind, FunctionIDOrClientID id) {
#if defined(__i386__)
    InvokeHook(pHook, id);
#else
    // Jitted code passes the enter hook's id in r14, the argument registers being taken.
    unsigned vectorBytes;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        vectorBytes = m_HookVectorBytes;
    }
    AddHookFaults(HookProbe::CallFastPath(reinterpret_cast<const void*>(pHook), id.clientID,
                                          kind == HookKind::Enter, vectorBytes));
#endif
}

void TestRuntime::ReportSuspension(COR_PRF_SUSPEND_REASON reason) {
    std::vector<ThreadID> threads;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if ((m_EventMask & COR_PRF_MONITOR_SUSPENDS) == 0) {
            return;
        }
        for (const auto& entry : m_Threads) {
            threads.push_back(entry.first);
        }
    }
    Notify("RuntimeSuspendStarted",
           [reason](ICorProfilerCallback2& p) { return p.RuntimeSuspendStarted(reason); });
    for (ThreadID threadId : threads) {
        Notify("RuntimeThreadSuspended",
               [threadId](ICorProfilerCallback2& p) { return p.RuntimeThreadSuspended(threadId); });
    }
    Notify("RuntimeSuspendFinished",
           [](ICorProfilerCallback2& p) { return p.RuntimeSuspendFinished(); });
}

void TestRuntime::ReportResumption() {
    std::vector<ThreadID> threads;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if ((m_EventMask & COR_PRF_MONITOR_SUSPENDS) == 0) {
            return;
        }
        for (const auto& entry : m_Threads) {
            threads.push_back(entry.first);
        }
    }
    Notify("RuntimeResumeStarted",
           [](ICorProfilerCallback2& p) { return p.RuntimeResumeStarted(); });
    for (ThreadID threadId : threads) {
        Notify("RuntimeThreadResumed",
               [threadId](ICorProfilerCallback2& p) { return p.RuntimeThreadResumed(threadId); });
    }
    Notify("RuntimeResumeFinished",
           [](ICorProfilerCallback2& p) { return p.RuntimeResumeFinished(); });
}

void TestRuntime::SuspendForGc(COR_PRF_SUSPEND_REASON reason) {
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        m_StateChanged.wait(lock, [this] { return !m_SuspendedByProfiler; });
        m_SuspendedForGc = true;
    }
    ReportSuspension(reason);
}

void TestRuntime::ResumeAfterGc() {
    ReportResumption();
    std::lock_guard<std::mutex> lock(m_Lock);
    m_SuspendedForGc = false;
}

std::vector<TestRuntime::CallbackResult> TestRuntime::CallbackResults() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_CallbackResults;
}

std::vector<TestRuntime::CallbackResult> TestRuntime::FailedCallbacks() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::vector<CallbackResult> failed;
    std::copy_if(m_CallbackResults.begin(), m_CallbackResults.end(), std::back_inserter(failed),
                 [](const CallbackResult& result) { return FAILED(result.hr); });
    return failed;
}

HRESULT TestRuntime::Enter(Operation operation) {
    std::lock_guard<std::mutex> lock(m_Lock);
    size_t index = static_cast<size_t>(operation);
    ++m_CallCounts[index];
    Injection& injection = m_Injections[index];
    if (injection.persistent) {
        return injection.hr;
    }
    if (injection.remaining == 0) {
        return S_OK;
    }
    --injection.remaining;
    return injection.hr;
}

HRESULT TestRuntime::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    *ppvObject = nullptr;
    if (HRESULT hr = Enter(Operation::QueryInterface); FAILED(hr)) {
        return hr;
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (std::find(m_Offered.begin(), m_Offered.end(), riid) == m_Offered.end()) {
            return E_NOINTERFACE;
        }
    }
    // One object answers every version: each interface is a prefix of ICorProfilerInfo10.
    *ppvObject = static_cast<ICorProfilerInfo10*>(this);
    AddRef();
    return S_OK;
}

ULONG TestRuntime::AddRef() {
    return m_References.fetch_add(1) + 1;
}

ULONG TestRuntime::Release() {
    return m_References.fetch_sub(1) - 1;
}

HRESULT TestRuntime::GetEventMask(DWORD* pdwEvents) {
    if (HRESULT hr = Enter(Operation::GetEventMask); FAILED(hr)) {
        return hr;
    }
    if (pdwEvents == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    *pdwEvents = m_EventMask;
    return S_OK;
}

HRESULT TestRuntime::SetEventMask(DWORD dwEvents) {
    if (HRESULT hr = Enter(Operation::SetEventMask); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_EventMask = dwEvents;
    return S_OK;
}

HRESULT TestRuntime::GetEventMask2(DWORD* pdwEventsLow, DWORD* pdwEventsHigh) {
    if (HRESULT hr = Enter(Operation::GetEventMask); FAILED(hr)) {
        return hr;
    }
    if (pdwEventsLow == nullptr || pdwEventsHigh == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    *pdwEventsLow = m_EventMask;
    *pdwEventsHigh = m_EventMaskHigh;
    return S_OK;
}

HRESULT TestRuntime::SetEventMask2(DWORD dwEventsLow, DWORD dwEventsHigh) {
    if (HRESULT hr = Enter(Operation::SetEventMask); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_EventMask = dwEventsLow;
    m_EventMaskHigh = dwEventsHigh;
    return S_OK;
}

HRESULT TestRuntime::GetCurrentThreadID(ThreadID* pThreadId) {
    if (HRESULT hr = Enter(Operation::GetCurrentThreadID); FAILED(hr)) {
        return hr;
    }
    if (pThreadId == nullptr) {
        return E_POINTER;
    }
    DWORD osThreadId = Platform::GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_BoundOSThreads.find(osThreadId);
    if (it == m_BoundOSThreads.end()) {
        *pThreadId = 0;
        return CORPROF_E_NOT_MANAGED_THREAD;
    }
    *pThreadId = it->second;
    return S_OK;
}

HRESULT TestRuntime::GetThreadInfo(ThreadID threadId, DWORD* pdwWin32ThreadId) {
    if (HRESULT hr = Enter(Operation::GetThreadInfo); FAILED(hr)) {
        return hr;
    }
    if (pdwWin32ThreadId == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Threads.find(threadId);
    if (it == m_Threads.end()) {
        return E_INVALIDARG;
    }
    *pdwWin32ThreadId = it->second.osThreadId;
    return S_OK;
}

HRESULT TestRuntime::GetHandleFromThread(ThreadID threadId, HANDLE* phThread) {
    if (HRESULT hr = Enter(Operation::GetHandleFromThread); FAILED(hr)) {
        return hr;
    }
    if (phThread == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Threads.find(threadId);
    if (it == m_Threads.end()) {
        return E_INVALIDARG;
    }
    *phThread = it->second.handle;
    return S_OK;
}

// Name-buffer convention of the runtime: *pcchName receives the length with its terminator; the
// name is copied as far as it fits, always terminated; a buffer too small for it is reported.
HRESULT TestRuntime::GetModuleInfo(ModuleID moduleId, LPCBYTE* ppBaseLoadAddress, ULONG cchName,
                                   ULONG* pcchName, WCHAR szName[], AssemblyID* pAssemblyId) {
    if (HRESULT hr = Enter(Operation::GetModuleInfo); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Modules.find(moduleId);
    if (it == m_Modules.end()) {
        return E_INVALIDARG;
    }
    const Module& module = it->second;
    Store(ppBaseLoadAddress, reinterpret_cast<LPCBYTE>(module.baseAddress));
    Store(pAssemblyId, module.assemblyId);
    ULONG needed = static_cast<ULONG>(module.name.size() + 1);
    Store(pcchName, needed);
    if (szName != nullptr && cchName > 0) {
        size_t copied = std::min<size_t>(module.name.size(), cchName - 1);
        std::copy_n(module.name.data(), copied, szName);
        szName[copied] = u'\0';
    }
    return (szName != nullptr && cchName < needed) ? E_INSUFFICIENT_BUFFER : S_OK;
}

HRESULT TestRuntime::GetModuleMetaData(ModuleID moduleId, DWORD, REFIID riid, IUnknown** ppOut) {
    Store(ppOut, nullptr);
    if (HRESULT hr = Enter(Operation::GetModuleMetaData); FAILED(hr)) {
        return hr;
    }
    TestMetaDataImport* pImport = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        auto it = m_MetaData.find(moduleId);
        if (it == m_MetaData.end()) {
            return E_NOTIMPL;
        }
        pImport = it->second.get();
    }
    return pImport->QueryInterface(riid, reinterpret_cast<void**>(ppOut));
}

HRESULT TestRuntime::SetEnterLeaveFunctionHooks(FunctionEnter* pFuncEnter,
                                                FunctionLeave* pFuncLeave,
                                                FunctionTailcall* pFuncTailcall) {
    if (HRESULT hr = Enter(Operation::SetEnterLeaveFunctionHooks); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Hooks.pEnter = pFuncEnter;
    m_Hooks.pLeave = pFuncLeave;
    m_Hooks.pTailcall = pFuncTailcall;
    return S_OK;
}

HRESULT TestRuntime::SetEnterLeaveFunctionHooks2(FunctionEnter2* pFuncEnter,
                                                 FunctionLeave2* pFuncLeave,
                                                 FunctionTailcall2* pFuncTailcall) {
    if (HRESULT hr = Enter(Operation::SetEnterLeaveFunctionHooks2); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Hooks.pEnter2 = pFuncEnter;
    m_Hooks.pLeave2 = pFuncLeave;
    m_Hooks.pTailcall2 = pFuncTailcall;
    return S_OK;
}

HRESULT TestRuntime::SetFunctionIDMapper(FunctionIDMapper* pFunc) {
    if (HRESULT hr = Enter(Operation::SetFunctionIDMapper); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Hooks.pMapper = pFunc;
    return S_OK;
}

HRESULT TestRuntime::SetFunctionIDMapper2(FunctionIDMapper2* pFunc, void* clientData) {
    if (HRESULT hr = Enter(Operation::SetFunctionIDMapper2); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Hooks.pMapper2 = pFunc;
    m_Hooks.pMapper2Data = clientData;
    return S_OK;
}

HRESULT TestRuntime::SetEnterLeaveFunctionHooks3(FunctionEnter3* pFuncEnter3,
                                                 FunctionLeave3* pFuncLeave3,
                                                 FunctionTailcall3* pFuncTailcall3) {
    if (HRESULT hr = Enter(Operation::SetEnterLeaveFunctionHooks3); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Hooks.pEnter3 = pFuncEnter3;
    m_Hooks.pLeave3 = pFuncLeave3;
    m_Hooks.pTailcall3 = pFuncTailcall3;
    return S_OK;
}

// Every out parameter may be null; they are cleared on failure.
HRESULT TestRuntime::GetFunctionInfo(FunctionID functionId, ClassID* pClassId, ModuleID* pModuleId,
                                     mdToken* pToken) {
    Store(pClassId, 0);
    Store(pModuleId, 0);
    Store(pToken, 0);
    if (HRESULT hr = Enter(Operation::GetFunctionInfo); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Functions.find(functionId);
    if (it == m_Functions.end()) {
        return E_INVALIDARG;
    }
    Store(pClassId, it->second.cls);
    Store(pModuleId, it->second.module);
    Store(pToken, it->second.token);
    return S_OK;
}

// Every out parameter may be null. A class that is no array answers S_FALSE with the element
// outputs cleared, as the runtime does.
HRESULT TestRuntime::IsArrayClass(ClassID classId, CorElementType* pBaseElemType,
                                  ClassID* pBaseClassId, ULONG* pcRank) {
    if (HRESULT hr = Enter(Operation::IsArrayClass); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Classes.find(classId);
    if (it == m_Classes.end()) {
        return E_INVALIDARG;
    }
    const ClassState& state = it->second;
    Store(pBaseElemType, state.array ? state.elementType : ELEMENT_TYPE_END);
    Store(pBaseClassId, state.array ? state.elementClass : 0);
    Store(pcRank, state.array ? state.rank : 0);
    return state.array ? S_OK : S_FALSE;
}

// Arrays have no type definition of their own: module 0 and token 0, with success.
HRESULT TestRuntime::GetClassIDInfo(ClassID classId, ModuleID* pModuleId,
                                    mdTypeDef* pTypeDefToken) {
    Store(pModuleId, 0);
    Store(pTypeDefToken, 0);
    if (HRESULT hr = Enter(Operation::GetClassIDInfo); FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Classes.find(classId);
    if (it == m_Classes.end()) {
        return E_INVALIDARG;
    }
    const ClassState& state = it->second;
    if (state.composite) {
        return CORPROF_E_CLASSID_IS_COMPOSITE;
    }
    if (!state.array) {
        Store(pModuleId, state.module);
        Store(pTypeDefToken, state.token);
    }
    return S_OK;
}

// The count protocol of the runtime: *pcNumTypeArgs always receives the full count; up to
// cNumTypeArgs arguments are copied into typeArgs.
HRESULT TestRuntime::GetClassIDInfo2(ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken,
                                     ClassID* pParentClassId, ULONG32 cNumTypeArgs,
                                     ULONG32* pcNumTypeArgs, ClassID typeArgs[]) {
    Store(pModuleId, 0);
    Store(pTypeDefToken, 0);
    Store(pParentClassId, 0);
    Store(pcNumTypeArgs, 0);
    if (HRESULT hr = Enter(Operation::GetClassIDInfo2); FAILED(hr)) {
        return hr;
    }
    if (cNumTypeArgs != 0 && typeArgs == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Classes.find(classId);
    if (it == m_Classes.end()) {
        return E_INVALIDARG;
    }
    const ClassState& state = it->second;
    if (state.array) {
        return CORPROF_E_CLASSID_IS_ARRAY;
    }
    if (state.composite) {
        return CORPROF_E_CLASSID_IS_COMPOSITE;
    }
    Store(pModuleId, state.module);
    Store(pTypeDefToken, state.token);
    Store(pParentClassId, state.parent);
    Store(pcNumTypeArgs, static_cast<ULONG32>(state.typeArgs.size()));
    if (typeArgs != nullptr) {
        std::copy_n(state.typeArgs.begin(), std::min<size_t>(cNumTypeArgs, state.typeArgs.size()),
                    typeArgs);
    }
    return S_OK;
}

// The walk reports the declared frames one by one; a callback that answers anything but S_OK ends
// it with CORPROF_E_STACKSNAPSHOT_ABORTED, as the runtime does.
HRESULT TestRuntime::DoStackSnapshot(ThreadID thread, StackSnapshotCallback* callback, ULONG32,
                                     void* clientData, BYTE[], ULONG32) {
    RunProbe(Operation::DoStackSnapshot);
    if (HRESULT hr = Enter(Operation::DoStackSnapshot); FAILED(hr)) {
        return hr;
    }
    if (callback == nullptr) {
        return E_INVALIDARG;
    }
    std::vector<FunctionID> stack;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (thread == 0) {  // the calling thread's own stack
            auto bound = m_BoundOSThreads.find(Platform::GetCurrentThreadId());
            thread = bound == m_BoundOSThreads.end() ? 0 : bound->second;
        }
        auto it = m_Threads.find(thread);
        if (it == m_Threads.end()) {
            return E_INVALIDARG;
        }
        stack = it->second.stack;
    }
    for (FunctionID functionId : stack) {
        if (callback(functionId, 0, 0, 0, nullptr, clientData) != S_OK) {
            return CORPROF_E_STACKSNAPSHOT_ABORTED;
        }
    }
    return S_OK;
}

HRESULT TestRuntime::SuspendRuntime() {
    RunProbe(Operation::SuspendRuntime);
    if (HRESULT hr = Enter(Operation::SuspendRuntime); FAILED(hr)) {
        return hr;
    }
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        if (m_SuspendedByProfiler || m_SuspendedForGc) {
            return CORPROF_E_SUSPENSION_IN_PROGRESS;
        }
        if (!m_StateChanged.wait_for(lock, std::chrono::seconds(10),
                                     [this] { return m_CooperativeCallbacks == 0; })) {
            ADD_FAILURE() << "SuspendRuntime waited 10 s for a callback in cooperative mode";
            return CORPROF_E_SUSPENSION_IN_PROGRESS;
        }
        m_SuspendedByProfiler = true;
    }
    ReportSuspension(COR_PRF_SUSPEND_FOR_PROFILER);
    return S_OK;
}

HRESULT TestRuntime::ResumeRuntime() {
    RunProbe(Operation::ResumeRuntime);
    if (HRESULT hr = Enter(Operation::ResumeRuntime); FAILED(hr)) {
        return hr;
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (!m_SuspendedByProfiler) {
            return CORPROF_E_UNSUPPORTED_CALL_SEQUENCE;
        }
    }
    ReportResumption();
    std::lock_guard<std::mutex> lock(m_Lock);
    m_SuspendedByProfiler = false;
    m_StateChanged.notify_all();
    return S_OK;
}
