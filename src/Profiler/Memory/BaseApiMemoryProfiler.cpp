#include "Profiler/Memory/BaseApiMemoryProfiler.h"

#include <atomic>
#include <stdexcept>

#include "Bridge/IMemoryBridgeControl.h"
#include "Util/Assert.h"
#include "Util/CatchAtEdge.h"
#include "Util/CrError.h"
#include "Util/HostSleep.h"
#include "Util/Log.h"
#include "WinCE/Bridge.h"

namespace {

constexpr DWORD ControlLockSleep = 10;

const char* TrueFalse(BOOL value) {
    return value ? "true" : "false";
}

const char* TransitionReason(COR_PRF_TRANSITION_REASON reason) {
    return reason == COR_PRF_TRANSITION_RETURN ? "return" : "call";
}

const char* SuspendReason(COR_PRF_SUSPEND_REASON reason) {
    switch (static_cast<int>(reason)) {
        case 0:
            return "other";
        case 1:
            return "gc";
        case 2:
            return "app_domain_shutdown";
        case 3:
            return "code_pitching";
        case 4:
            return "shutdown";
        case 6:
            return "inproc_debugger";
        case 7:
            return "gc_prep";
        default:
            return "???";
    }
}

// "<prefix>{%08X-...}<suffix>" with the GUID's fields after `args` of the caller.
#define QV_GUID_FORMAT "{%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX}"
#define QV_GUID_FIELDS(g)                                                                    \
    (g).Data1, (g).Data2, (g).Data3, (g).Data4[0], (g).Data4[1], (g).Data4[2], (g).Data4[3], \
        (g).Data4[4], (g).Data4[5], (g).Data4[6], (g).Data4[7]

void LogCookie(const char* pFormat, const GUID* pCookie, BOOL fIsAsync) {
    if (Log::IsEnabled(LogComponent::RemotingCb)) {
        const GUID cookie = pCookie != nullptr ? *pCookie : GUID_NULL;
        Log::Format(pFormat, QV_GUID_FIELDS(cookie), TrueFalse(fIsAsync));
    }
}

}  // namespace

BaseApiMemoryProfiler::BaseApiMemoryProfiler(LONG* pTotalRef, Bridge* pBridge)
    : BaseProfiler(pTotalRef, pBridge) {
    SetCallbackLogging("BAMProf", E_NOTIMPL);
    if (pBridge != nullptr) {
        pBridge->SetClient(&m_ClientInfo, static_cast<IMemoryBridgeEvent*>(this));
    }
    QV_ASSERT(g_pMemoryApi.load() == nullptr);
    g_pMemoryApi.store(static_cast<IMemoryApi*>(this));
}

BaseApiMemoryProfiler::~BaseApiMemoryProfiler() {
    QV_ASSERT(g_pMemoryApi.load() != nullptr);
    g_pMemoryApi.store(nullptr);
    LogEdgeFailure([this] { m_GcThread.Stop(); });
}

// ---- Control lock

void BaseApiMemoryProfiler::AcquireControl() {
    std::atomic_ref<DWORD> spin(m_Spare1);
    while (spin.exchange(1, std::memory_order_acquire) != 0) {
        HostSleep(ControlLockSleep);
    }
    std::atomic_ref<DWORD> hold(m_Spare2);
    while (hold.load() != 0) {
        HostSleep(ControlLockSleep);
    }
}

void BaseApiMemoryProfiler::ReleaseControl() {
    std::atomic_ref<DWORD>(m_Spare1).store(0, std::memory_order_release);
}

IBridgeControl* BaseApiMemoryProfiler::GetControl() const {
    Bridge* pBridge = GetBridge();
    return pBridge != nullptr ? pBridge->GetControl() : nullptr;
}

bool BaseApiMemoryProfiler::IsErrorReported() const {
    IBridgeControl* pControl = GetControl();
    return pControl != nullptr && pControl->IsErrorReported();
}

void BaseApiMemoryProfiler::DropOpenSnapshot() {
    // Writers on other threads may still hold the storage: they are reset first.
    DropSnapshotData();
    DropSnapshot();
}

void BaseApiMemoryProfiler::RunGcRequest(DWORD mode) {
    if (IsErrorReported()) {
        throw _cr_error("Operation is ignored because unrecoverable error is detected",
                        ApiErrorReported);
    }
    if (mode != GcThread::ModeDump) {
        m_GcThread.Run(mode);
        return;
    }
    BeginDumpMonitoring();
    try {
        m_GcThread.Run(mode);
    } catch (...) {
        LogEdgeFailure([this] { EndDumpMonitoring(); });
        throw;
    }
    EndDumpMonitoring();
}

// ---- API

DWORD BaseApiMemoryProfiler::IsActive() {
    Bridge* pBridge = GetBridge();
    return pBridge != nullptr && pBridge->GetControlKind() == BaseBridge::ControlApi ? 0 : 1;
}

DWORD BaseApiMemoryProfiler::ApiForceGC() {
    return ServeApi("BAMProf::ApiForceGC", GcThread::ModeForceGC);
}

DWORD BaseApiMemoryProfiler::ApiDump() {
    return ServeApi("BAMProf::ApiDump", GcThread::ModeDump);
}

DWORD BaseApiMemoryProfiler::ServeApi(const char* pName, DWORD mode) {
    AcquireControl();
    DWORD result = ApiFailed;
    try {
        if (Log::IsEnabled(LogComponent::Api)) {
            Log::Message(pName);
        }
        Bridge* pBridge = GetBridge();
        if (pBridge == nullptr || pBridge->GetControlKind() != BaseBridge::ControlApi) {
            throw _cr_error("API is disabled", ApiDisabled);
        }
        RunGcRequest(mode);
        result = 0;
    } catch (const _cr_error& e) {
        Log::Warning(e.what());
        result = e.Code();
    } catch (const _com_error& e) {
        Log::LogComError(e);
    } catch (const std::exception& e) {
        Log::LogException(e);
    } catch (...) {
        Log::LogUnknownException();
    }
    ReleaseControl();
    return result;
}

// ---- Controller commands and background work

bool BaseApiMemoryProfiler::NeedBackgroundWork() {
    return IsErrorReported() && IsSnapshotOpen();
}

void BaseApiMemoryProfiler::DoBackgroundWork() {
    AcquireControl();
    LogEdgeFailure([this] {
        if (IsErrorReported() && IsSnapshotOpen()) {
            DropOpenSnapshot();
        }
    });
    ReleaseControl();
}

void BaseApiMemoryProfiler::BridgeForceGC() {
    ServeBridge("BAMProf::BridgeForceGC", GcThread::ModeForceGC);
}

void BaseApiMemoryProfiler::BridgeDump() {
    ServeBridge("BAMProf::BridgeDump", GcThread::ModeDump);
}

void BaseApiMemoryProfiler::ServeBridge(const char* pName, DWORD mode) {
    AcquireControl();
    LogEdgeFailure([this, pName, mode] {
        Log::Message(pName);
        Bridge* pBridge = GetBridge();
        if (pBridge == nullptr || pBridge->GetControlKind() != BaseBridge::ControlManual) {
            throw std::runtime_error("Manual control is disabled");
        }
        RunGcRequest(mode);
        auto* pControl = dynamic_cast<IMemoryBridgeControl*>(GetControl());
        if (pControl == nullptr) {
            throw std::runtime_error("No command processor");
        }
        pControl->Done();
    });
    ReleaseControl();
}

// ---- Life cycle

void BaseApiMemoryProfiler::OnBeginInitialize() {
    Log::Message("BAMProf::OnBeginInitialize");
    if (GetInfo2() == nullptr) {
        throw std::runtime_error("Memory profiler doesn't support .NET framework v1.x");
    }
    m_GcThread.SetInfo(GetInfo());
    m_GcThread.StartThread();
}

void BaseApiMemoryProfiler::OnEndInitialize() {
    Log::Message("BAMProf::OnEndInitialize");
    Bridge* pBridge = GetBridge();
    if (pBridge != nullptr && pBridge->GetControlKind() == BaseBridge::ControlManual) {
        if (m_ClientInfo.IsSnapshotAtStart()) {
            CreateSnapshot();
        }
        auto* pControl = dynamic_cast<IMemoryBridgeControl*>(GetControl());
        if (pControl == nullptr) {
            throw std::runtime_error("No command processor");
        }
        pControl->Done();
    }
    m_GcThread.Enable();
}

void BaseApiMemoryProfiler::OnBeginShutdown() {
    Log::Message("BAMProf::OnBeginShutdown");
    m_GcThread.Stop();
    AcquireControl();
    const bool dropped = LogEdgeFailure([this] {
        if (IsSnapshotOpen()) {
            DropOpenSnapshot();
        }
    });
    ReleaseControl();
    if (!dropped) {
        throw std::runtime_error("Can't drop snapshot");
    }
}

void BaseApiMemoryProfiler::OnEndShutdown() {
    Log::Message("BAMProf::OnEndShutdown");
    m_GcThread.ReleaseInfo();
}

// ---- Callbacks that only log

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::JITCompilationStarted(FunctionID functionId,
                                                                       BOOL fIsSafeToBlock) {
    return LogCallback(LogComponent::FunctionCb, "JITCompilationStarted fid=%p safe=%s",
                       Id(functionId), TrueFalse(fIsSafeToBlock));
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::JITCompilationFinished(FunctionID functionId,
                                                                        HRESULT hrStatus,
                                                                        BOOL fIsSafeToBlock) {
    return LogCallback(LogComponent::FunctionCb, "JITCompilationFinished fid=%p hr=%08X safe=%s",
                       Id(functionId), hrStatus, TrueFalse(fIsSafeToBlock));
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::JITCachedFunctionSearchFinished(
    FunctionID functionId, COR_PRF_JIT_CACHE result) {
    return LogCallback(LogComponent::FunctionCb, "JITCachedFunctionSearchFinished fid=%p result=%s",
                       Id(functionId),
                       result == COR_PRF_CACHED_FUNCTION_FOUND ? "found" : "not_found");
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::JITInlining(FunctionID callerId,
                                                             FunctionID calleeId,
                                                             BOOL* pfShouldInline) {
    return LogCallback(LogComponent::FunctionCb, "JITInlining callerId=%p calleeId=%p",
                       Id(callerId), Id(calleeId));
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::RemotingClientSendingMessage(GUID* pCookie,
                                                                              BOOL fIsAsync) {
    LogCookie("BAMProf::RemotingClientSendingMessage cookie=" QV_GUID_FORMAT " async=%s", pCookie,
              fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::RemotingClientReceivingReply(GUID* pCookie,
                                                                              BOOL fIsAsync) {
    LogCookie("BAMProf::RemotingClientReceivingReply cookie=" QV_GUID_FORMAT " async=%s", pCookie,
              fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::RemotingServerReceivingMessage(GUID* pCookie,
                                                                                BOOL fIsAsync) {
    LogCookie("BAMProf::RemotingServerReceivingMessage cookie=" QV_GUID_FORMAT " async=%s", pCookie,
              fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::RemotingServerSendingReply(GUID* pCookie,
                                                                            BOOL fIsAsync) {
    LogCookie("BAMProf::RemotingServerSendingReply cookie=" QV_GUID_FORMAT " async=%s", pCookie,
              fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE
BaseApiMemoryProfiler::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeSuspendStarted reason=%s",
                       SuspendReason(suspendReason));
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::RuntimeThreadSuspended(ThreadID) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::RuntimeThreadResumed(ThreadID) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::UnmanagedToManagedTransition(
    FunctionID functionId, COR_PRF_TRANSITION_REASON reason) {
    return LogCallback(LogComponent::TransitionCb, "UnmanagedToManagedTransition fid=%p reason=%s",
                       Id(functionId), TransitionReason(reason));
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::ManagedToUnmanagedTransition(
    FunctionID functionId, COR_PRF_TRANSITION_REASON reason) {
    return LogCallback(LogComponent::TransitionCb, "ManagedToUnmanagedTransition fid=%p reason=%s",
                       Id(functionId), TransitionReason(reason));
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::COMClassicVTableCreated(ClassID wrappedClassId,
                                                                         REFGUID implementedIID,
                                                                         void* pVTable,
                                                                         ULONG cSlots) {
    if (Log::IsEnabled(LogComponent::VTableCb)) {
        Log::Format("BAMProf::COMClassicVTableCreated cid=%p iid=" QV_GUID_FORMAT " c=%u",
                    Id(wrappedClassId), QV_GUID_FIELDS(implementedIID),
                    static_cast<unsigned>(cSlots));
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiMemoryProfiler::COMClassicVTableDestroyed(ClassID wrappedClassId,
                                                                           REFGUID implementedIID,
                                                                           void* pVTable) {
    if (Log::IsEnabled(LogComponent::VTableCb)) {
        Log::Format("BAMProf::COMClassicVTableDestroyed cid=%p iid=" QV_GUID_FORMAT,
                    Id(wrappedClassId), QV_GUID_FIELDS(implementedIID));
    }
    return E_NOTIMPL;
}
