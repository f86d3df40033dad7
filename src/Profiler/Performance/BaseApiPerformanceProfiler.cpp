#include "Profiler/Performance/BaseApiPerformanceProfiler.h"

#include <stdexcept>
#include <string>

#include "Bridge/BaseBridge.h"
#include "Platform/Com.h"
#include "Profiler/Performance/MeasureClock.h"
#include "Util/Assert.h"
#include "Util/CatchAtEdge.h"
#include "Util/CrError.h"
#include "WinCE/Bridge.h"

namespace {

constexpr const char* CallbackPrefix = "PBPProf";

void LogApi(const char* pLine) {
    if (Log::IsEnabled(LogComponent::Api)) {
        Log::Message(pLine);
    }
}

const char* TrueFalse(bool value) {
    return value ? "true" : "false";
}

#define QV_GUID_FORMAT "{%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX}"
#define QV_GUID_ARGS(g)                                                                      \
    (g).Data1, (g).Data2, (g).Data3, (g).Data4[0], (g).Data4[1], (g).Data4[2], (g).Data4[3], \
        (g).Data4[4], (g).Data4[5], (g).Data4[6], (g).Data4[7]

// A GUID the runtime may not have given shows as zeros.
GUID GuidOrZero(const GUID* pGuid) {
    return pGuid != nullptr ? *pGuid : GUID{};
}

void LogRemotingMessage(const char* pName, const GUID* pCookie, BOOL fIsAsync) {
    if (Log::IsEnabled(LogComponent::RemotingCb)) {
        const GUID cookie = GuidOrZero(pCookie);
        const std::string format =
            std::string(CallbackPrefix) + "::" + pName + " cookie=" QV_GUID_FORMAT " async=%s";
        Log::Format(format.c_str(), QV_GUID_ARGS(cookie), TrueFalse(fIsAsync != 0));
    }
}

// One indented line per entry; none when the runtime gave no array.
template <class AppendEntry>
std::string BlockOf(ULONG count, bool hasArrays, AppendEntry&& appendEntry) {
    std::string block;
    if (hasArrays) {
        for (ULONG i = 0; i < count; ++i) {
            appendEntry(block, i);
        }
    }
    return block;
}

}  // namespace

BaseApiPerformanceProfiler::BaseApiPerformanceProfiler(LONG* pTotalRef, Bridge* pBridge)
    : BaseProfiler(pTotalRef, pBridge) {
    SetCallbackLogging(CallbackPrefix, E_NOTIMPL);
    if (pBridge != nullptr) {
        pBridge->SetClient(&m_ClientInfo, static_cast<IMeasureBridgeEvent*>(this));
    }
    QV_ASSERT(g_pApi == NULL);
    g_pApi.store(static_cast<IPerformanceApi*>(this));
}

BaseApiPerformanceProfiler::~BaseApiPerformanceProfiler() {
    QV_ASSERT(g_pApi != NULL);
    g_pApi.store(nullptr);
}

// ---- State and time

DWORD BaseApiPerformanceProfiler::GetControlKind() const {
    return GetBridge() != nullptr ? GetBridge()->GetControlKind() : BaseBridge::ControlManual;
}

bool BaseApiPerformanceProfiler::IsErrorReported() const {
    IBridgeControl* pControl = GetBridge() != nullptr ? GetBridge()->GetControl() : nullptr;
    return pControl != nullptr && pControl->IsErrorReported();
}

IMeasureBridgeControl& BaseApiPerformanceProfiler::GetMeasureControl() const {
    IBridgeControl* pControl = GetBridge() != nullptr ? GetBridge()->GetControl() : nullptr;
    auto* pMeasure = dynamic_cast<IMeasureBridgeControl*>(pControl);
    if (pMeasure == nullptr) {
        throw _com_error(E_POINTER);
    }
    return *pMeasure;
}

MeasureTime BaseApiPerformanceProfiler::StampTime() const {
    return MeasureClock::Stamp(GetSettings().m_MeasureKind);
}

void BaseApiPerformanceProfiler::CompensateSwitch(MeasureTime& time) const {
    if (!time.m_CommonStamp) {
        return;
    }
    const UINT64 delta = MeasureClock::StampNow(time.m_Kind) - time.m_Stamp;
    for (UINT64* pCell : time.m_Cells) {
        if (pCell != nullptr) {
            *pCell += delta;
        }
    }
}

// ---- Guarded operations

void BaseApiPerformanceProfiler::RequireState(bool snapshotOpen, bool measuring) {
    if (IsErrorReported()) {
        throw _cr_error("Operation is ignored because unrecoverable error is detected",
                        ResultErrorReported);
    }
    if (IsSnapshotOpen() != snapshotOpen) {
        throw _cr_error(
            snapshotOpen ? "Snapshot hasn't been created" : "Snapshot has been already created",
            ResultInvalidState);
    }
    if (IsMeasuring() != measuring) {
        throw _cr_error(
            measuring ? "Profiling is unexpectedly disabled" : "Profiling is unexpectedly enabled",
            ResultInvalidState);
    }
}

void BaseApiPerformanceProfiler::DoBegin() {
    RequireState(false, false);
    CreateSnapshot();
}

void BaseApiPerformanceProfiler::DoBeginGroup(const WCHAR* pName) {
    RequireState(true, false);
    BeginGroup(pName);
}

void BaseApiPerformanceProfiler::DoEndGroup() {
    RequireState(true, false);
    EndGroup();
}

void BaseApiPerformanceProfiler::DoStart(MeasureTime& time) {
    RequireState(true, false);
    StartMeasure(time);
}

void BaseApiPerformanceProfiler::DoStop(MeasureTime& time, bool finalStop) {
    RequireState(true, true);
    StopMeasure(time, finalStop);
}

void BaseApiPerformanceProfiler::DoEndDrop() {
    RequireState(true, false);
    DropSnapshot();
}

void BaseApiPerformanceProfiler::DoEndSave() {
    RequireState(true, false);
    CloseSnapshot();
}

// ---- Life cycle

void BaseApiPerformanceProfiler::OnEndInitialize() {
    Log::Message("PBPProf::OnEndInitialize");
    // Callbacks may already arrive on other threads: the event mask is set.
    MeasureGate::WriterLock lock(m_Gate);
    if (IsSnapshotOpen()) {
        throw std::runtime_error("Snapshot has been already created");
    }
    if (IsMeasuring()) {
        throw std::runtime_error("Invalid status");
    }
    if (GetControlKind() != BaseBridge::ControlManual) {
        return;  // the application drives through the API
    }
    if (!GetSettings().m_StartAtInitialize) {
        GetMeasureControl().Stopped();
        return;
    }
    MeasureTime time = StampTime();
    DoBegin();
    DoStart(time);
    GetMeasureControl().Started();
    CompensateSwitch(time);
}

void BaseApiPerformanceProfiler::OnBeginShutdown() {
    Log::Message("PBPProf::OnBeginShutdown");
    MeasureGate::WriterLock lock(m_Gate);
    if (!IsSnapshotOpen()) {
        return;
    }
    LogEdgeFailure([this] {
        if (IsMeasuring()) {
            MeasureTime time = StampTime();
            DoStop(time, true);
        }
    });
    LogEdgeFailure([this] { DoEndSave(); });
    // A snapshot that could not be saved (the run had failed) is abandoned while the controller
    // can still be told: the storage must not outlive the bridge's command processor.
    if (IsSnapshotOpen()) {
        LogEdgeFailure([this] { DropSnapshot(); });
    }
}

// ---- Controller commands

template <class Command>
void BaseApiPerformanceProfiler::RunBridgeCommand(const char* pLine, Command&& command) {
    MeasureGate::WriterLock lock(m_Gate);
    LogEdgeFailure([&] {
        MeasureTime time = StampTime();
        Log::Message(pLine);
        if (GetControlKind() != BaseBridge::ControlManual) {
            throw std::runtime_error("Manual control is disabled");
        }
        command(time);
    });
}

void BaseApiPerformanceProfiler::BridgeStart() {
    RunBridgeCommand("PBPProf::BridgeStart", [this](MeasureTime& time) {
        DoBegin();
        DoStart(time);
        GetMeasureControl().Started();
        CompensateSwitch(time);
    });
}

void BaseApiPerformanceProfiler::BridgeStopDrop() {
    RunBridgeCommand("PBPProf::BridgeStopDrop", [this](MeasureTime& time) {
        DoStop(time, false);
        DoEndDrop();
        GetMeasureControl().Stopped();
    });
}

void BaseApiPerformanceProfiler::BridgeStopSave() {
    RunBridgeCommand("PBPProf::BridgeStopSave", [this](MeasureTime& time) {
        DoStop(time, false);
        DoEndSave();
        GetMeasureControl().Stopped();
    });
}

// ---- Application API

void BaseApiPerformanceProfiler::RequireApiControl() const {
    if (GetControlKind() != BaseBridge::ControlApi) {
        throw _cr_error("API is disabled", ResultApiDisabled);
    }
}

template <class Operation>
DWORD BaseApiPerformanceProfiler::RunApi(Operation&& operation) {
    MeasureGate::WriterLock lock(m_Gate);
    DWORD result = ResultFailure;
    try {
        operation();
        result = ResultSuccess;
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
    return result;
}

DWORD BaseApiPerformanceProfiler::ApiIsActive() {
    LogApi("PBPProf::ApiIsActive");
    return GetControlKind() == BaseBridge::ControlApi ? ResultSuccess : ResultApiNotInControl;
}

DWORD BaseApiPerformanceProfiler::ApiBegin() {
    return RunApi([this] {
        LogApi("PBPProf::ApiBegin");
        RequireApiControl();
        DoBegin();
    });
}

DWORD BaseApiPerformanceProfiler::ApiBeginGroup(const WCHAR* pName) {
    return RunApi([this, pName] {
        if (Log::IsEnabled(LogComponent::Api)) {
            Log::Format("PBPProf::ApiBeginGroup name='%S'", pName != nullptr ? pName : u"");
        }
        RequireApiControl();
        DoBeginGroup(pName);
    });
}

DWORD BaseApiPerformanceProfiler::ApiEndGroup() {
    return RunApi([this] {
        LogApi("PBPProf::ApiEndGroup");
        RequireApiControl();
        DoEndGroup();
    });
}

DWORD BaseApiPerformanceProfiler::ApiStart() {
    return RunApi([this] {
        MeasureTime time = StampTime();
        LogApi("PBPProf::ApiStart");
        RequireApiControl();
        DoStart(time);
        CompensateSwitch(time);
    });
}

DWORD BaseApiPerformanceProfiler::ApiStop() {
    return RunApi([this] {
        MeasureTime time = StampTime();
        LogApi("PBPProf::ApiStop");
        RequireApiControl();
        DoStop(time, false);
    });
}

DWORD BaseApiPerformanceProfiler::ApiEndDrop() {
    return RunApi([this] {
        LogApi("PBPProf::ApiEndDrop");
        RequireApiControl();
        DoEndDrop();
    });
}

DWORD BaseApiPerformanceProfiler::ApiEndSave() {
    return RunApi([this] {
        LogApi("PBPProf::ApiEndSave");
        RequireApiControl();
        DoEndSave();
    });
}

// ---- Callbacks that only log

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AppDomainCreationStarted(AppDomainID id) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainCreationStarted did=%p", Id(id));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AppDomainCreationFinished(AppDomainID id,
                                                                                HRESULT hr) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainCreationFinished did=%p hr=%08X",
                       Id(id), hr);
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AppDomainShutdownStarted(AppDomainID id) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainShutdownStarted did=%p", Id(id));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AppDomainShutdownFinished(AppDomainID id,
                                                                                HRESULT hr) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainShutdownFinished did=%p hr=%08X",
                       Id(id), hr);
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AssemblyLoadStarted(AssemblyID id) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyLoadStarted aid=%p", Id(id));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AssemblyLoadFinished(AssemblyID id,
                                                                           HRESULT hr) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyLoadFinished aid=%p hr=%08X", Id(id), hr);
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AssemblyUnloadStarted(AssemblyID id) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyUnloadStarted aid=%p", Id(id));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::AssemblyUnloadFinished(AssemblyID id,
                                                                             HRESULT hr) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyUnloadFinished aid=%p hr=%08X", Id(id),
                       hr);
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ClassLoadStarted(ClassID id) {
    return LogCallback(LogComponent::ClassCb, "ClassLoadStarted cid=%p", Id(id));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ClassLoadFinished(ClassID id, HRESULT hr) {
    return LogCallback(LogComponent::ClassCb, "ClassLoadFinished cid=%p hr=%08X", Id(id), hr);
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ClassUnloadStarted(ClassID id) {
    return LogCallback(LogComponent::ClassCb, "ClassUnloadStarted cid=%p", Id(id));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ClassUnloadFinished(ClassID id, HRESULT hr) {
    return LogCallback(LogComponent::ClassCb, "ClassUnloadFinished cid=%p hr=%08X", Id(id), hr);
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ExceptionCLRCatcherFound() {
    return LogCallback(LogComponent::ExceptionClrCb, "ExceptionCLRCatcherFound");
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ExceptionCLRCatcherExecute() {
    return LogCallback(LogComponent::ExceptionClrCb, "ExceptionCLRCatcherExecute");
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ObjectAllocated(ObjectID objectId,
                                                                      ClassID classId) {
    return LogCallback(LogComponent::GcCb, "ObjectAllocated oid=%p cid=%p", Id(objectId),
                       Id(classId));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::MovedReferences(ULONG count,
                                                                      ObjectID oldStart[],
                                                                      ObjectID newStart[],
                                                                      ULONG length[]) {
    if (Log::IsEnabled(LogComponent::GcCb)) {
        const std::string block =
            BlockOf(count, oldStart && newStart && length, [&](std::string& text, ULONG i) {
                Log::AppendBlockFormat(text, "#%u ooid=%p noid=%p l=%u", i, Id(oldStart[i]),
                                       Id(newStart[i]), length[i]);
            });
        Log::BlockFormat(block, "PBPProf::MovedReferences c=%u", count);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::SurvivingReferences(ULONG count,
                                                                          ObjectID start[],
                                                                          ULONG length[]) {
    if (Log::IsEnabled(LogComponent::GcCb)) {
        const std::string block = BlockOf(count, start && length, [&](std::string& text, ULONG i) {
            Log::AppendBlockFormat(text, "#%u oid=%p l=%u", i, Id(start[i]), length[i]);
        });
        Log::BlockFormat(block, "PBPProf::SurvivingReferences c=%u", count);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ObjectsAllocatedByClass(ULONG count,
                                                                              ClassID classIds[],
                                                                              ULONG objects[]) {
    if (Log::IsEnabled(LogComponent::GcCb)) {
        const std::string block =
            BlockOf(count, classIds && objects, [&](std::string& text, ULONG i) {
                Log::AppendBlockFormat(text, "#%u cid=%p c=%u", i, Id(classIds[i]), objects[i]);
            });
        Log::BlockFormat(block, "PBPProf::ObjectsAllocatedByClass c=%u", count);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::ObjectReferences(ObjectID objectId,
                                                                       ClassID classId, ULONG count,
                                                                       ObjectID refs[]) {
    if (Log::IsEnabled(LogComponent::GcCb)) {
        const std::string block = BlockOf(count, refs != nullptr, [&](std::string& text, ULONG i) {
            Log::AppendBlockFormat(text, "#%u oid=%p", i, Id(refs[i]));
        });
        Log::BlockFormat(block, "PBPProf::ObjectReferences oid=%p cid=%p c=%u", Id(objectId),
                         Id(classId), count);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RootReferences(ULONG count, ObjectID refs[]) {
    if (Log::IsEnabled(LogComponent::GcCb)) {
        const std::string block = BlockOf(count, refs != nullptr, [&](std::string& text, ULONG i) {
            Log::AppendBlockFormat(text, "#%u oid=%p", i, Id(refs[i]));
        });
        Log::BlockFormat(block, "PBPProf::RootReferences c=%u", count);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RootReferences2(ULONG count, ObjectID refs[],
                                                                      COR_PRF_GC_ROOT_KIND kinds[],
                                                                      COR_PRF_GC_ROOT_FLAGS flags[],
                                                                      UINT_PTR ids[]) {
    if (Log::IsEnabled(LogComponent::GcCb)) {
        const std::string block =
            BlockOf(count, refs && kinds && flags && ids, [&](std::string& text, ULONG i) {
                Log::AppendBlockFormat(text, "#%u oid=%p k=%d f=%08X id=%p", i, Id(refs[i]),
                                       static_cast<int>(kinds[i]), static_cast<DWORD>(flags[i]),
                                       Id(ids[i]));
            });
        Log::BlockFormat(block, "PBPProf::RootReferences2 c=%u", count);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::GarbageCollectionStarted(
    int cGenerations, BOOL generationCollected[], COR_PRF_GC_REASON reason) {
    if (Log::IsEnabled(LogComponent::GcCb)) {
        const ULONG count = cGenerations > 0 ? static_cast<ULONG>(cGenerations) : 0;
        const std::string block =
            BlockOf(count, generationCollected != nullptr, [&](std::string& text, ULONG i) {
                Log::AppendBlockFormat(text, "#%u collect=%s", i,
                                       TrueFalse(generationCollected[i] != 0));
            });
        Log::BlockFormat(block, "PBPProf::GarbageCollectionStarted c=%u reason=%s", count,
                         reason == COR_PRF_GC_INDUCED ? "induced" : "other");
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::GarbageCollectionFinished() {
    return LogCallback(LogComponent::GcCb, "GarbageCollectionFinished");
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::FinalizeableObjectQueued(DWORD flags,
                                                                               ObjectID objectId) {
    return LogCallback(LogComponent::GcCb, "FinalizeableObjectQueued f=%08X oid=%p", flags,
                       Id(objectId));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::HandleCreated(GCHandleID handleId,
                                                                    ObjectID objectId) {
    return LogCallback(LogComponent::HandleCb, "HandleCreated hid=%p oid=%p", Id(handleId),
                       Id(objectId));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::HandleDestroyed(GCHandleID handleId) {
    return LogCallback(LogComponent::HandleCb, "HandleDestroyed hid=%p", Id(handleId));
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RemotingClientInvocationStarted() {
    return LogCallback(LogComponent::RemotingCb, "RemotingClientInvocationStarted");
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RemotingClientInvocationFinished() {
    return LogCallback(LogComponent::RemotingCb, "RemotingClientInvocationFinished");
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RemotingServerInvocationStarted() {
    return LogCallback(LogComponent::RemotingCb, "RemotingServerInvocationStarted");
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RemotingServerInvocationReturned() {
    return LogCallback(LogComponent::RemotingCb, "RemotingServerInvocationReturned");
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RemotingClientSendingMessage(GUID* pCookie,
                                                                                   BOOL fIsAsync) {
    LogRemotingMessage("RemotingClientSendingMessage", pCookie, fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RemotingClientReceivingReply(GUID* pCookie,
                                                                                   BOOL fIsAsync) {
    LogRemotingMessage("RemotingClientReceivingReply", pCookie, fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE
BaseApiPerformanceProfiler::RemotingServerReceivingMessage(GUID* pCookie, BOOL fIsAsync) {
    LogRemotingMessage("RemotingServerReceivingMessage", pCookie, fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::RemotingServerSendingReply(GUID* pCookie,
                                                                                 BOOL fIsAsync) {
    LogRemotingMessage("RemotingServerSendingReply", pCookie, fIsAsync);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::COMClassicVTableCreated(ClassID classId,
                                                                              REFGUID iid,
                                                                              void* pVTable,
                                                                              ULONG cSlots) {
    if (Log::IsEnabled(LogComponent::VTableCb)) {
        Log::Format("PBPProf::COMClassicVTableCreated cid=%p iid=" QV_GUID_FORMAT " c=%u",
                    Id(classId), QV_GUID_ARGS(iid), cSlots);
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BaseApiPerformanceProfiler::COMClassicVTableDestroyed(ClassID classId,
                                                                                REFGUID iid,
                                                                                void* pVTable) {
    if (Log::IsEnabled(LogComponent::VTableCb)) {
        Log::Format("PBPProf::COMClassicVTableDestroyed cid=%p iid=" QV_GUID_FORMAT, Id(classId),
                    QV_GUID_ARGS(iid));
    }
    return E_NOTIMPL;
}
