#include "Profiler/BaseProfiler.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "Platform/Com.h"
#include "Platform/Format.h"
#include "Platform/SystemInfo.h"
#include "Util/Assert.h"
#include "Util/CatchAtEdge.h"
#include "Util/HrError.h"
#include "WinCE/Bridge.h"
#include "WinCE/ProcessAttach.h"

namespace {

ULONGLONG ComputeMemoryThreshold() {
    Platform::MEMORYSTATUS status{};
    Platform::GlobalMemoryStatus(&status);
    return std::min<ULONGLONG>(status.dwTotalPhys, status.dwTotalVirtual) / 10;
}

const BaseProfiler::ModuleLookup PlatformModuleLookup = {
    &Platform::GetModuleHandle, &Platform::GetModuleFileName, &Platform::GetModuleVersion};

// Replaced only by tests, while no profiler initialises.
const BaseProfiler::ModuleLookup* g_pModuleLookup = &PlatformModuleLookup;

// Interface level of the environment record: 2 with the version-2 information interface.
constexpr BYTE InterfaceLevel1 = 1;
constexpr BYTE InterfaceLevel2 = 2;

constexpr size_t AttachMessageCapacity = 4096;

void LogGuidLine(const char* pFormat, REFIID iid) {
    Log::Format(pFormat, iid.Data1, iid.Data2, iid.Data3, iid.Data4[0], iid.Data4[1], iid.Data4[2],
                iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6], iid.Data4[7]);
}

}  // namespace

const ULONGLONG MemoryThreshold = ComputeMemoryThreshold();

const BaseProfiler::ModuleLookup* BaseProfiler::SetModuleLookup(const ModuleLookup* pLookup) {
    return std::exchange(g_pModuleLookup, pLookup != nullptr ? pLookup : &PlatformModuleLookup);
}

void BaseProfiler::ShowAttachMessage(const WCHAR* pDisplayName) {
    if (g_ShowAttachMessage != 1) {
        return;
    }
    WString path;
    if (!Platform::GetExecutablePath(&path)) {
        path = u"???";
    }
    path.resize(std::min<size_t>(path.size(), AttachMessageCapacity));
    Platform::SYSTEM_INFO info{};
    Platform::GetSystemInfo(&info);
    const DWORD processId = Platform::GetCurrentProcessId();
    WString text;
    // A text that does not fit leaves the message empty.
    Platform::FormatWide(
        &text, AttachMessageCapacity, "ProcessID: %u (%08X)\r\nArchitecture: %u\r\nFileName: '%s'",
        processId, processId, static_cast<unsigned>(info.wProcessorArchitecture), path.c_str());
    Platform::ShowInformationMessage(pDisplayName != nullptr ? pDisplayName : u"", text);
}

BaseProfiler::BaseProfiler(LONG* pTotalRef, Bridge* pBridge)
    : m_pBridge(pBridge), m_pTotalRef(pTotalRef) {
    AddRef();
}

BaseProfiler::~BaseProfiler() = default;

void BaseProfiler::SetCallbackLogging(const char* pPrefix, HRESULT status) {
    m_pCallbackPrefix = pPrefix;
    m_CallbackStatus = status;
}

HRESULT STDMETHODCALLTYPE BaseProfiler::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    const bool known = IsEqualGUID(riid, IID_ICorProfilerCallback2) ||
                       IsEqualGUID(riid, IID_ICorProfilerCallback) ||
                       IsEqualGUID(riid, IID_IUnknown);
    LogGuidLine(known ? "BProf::QueryInterface "
                        "iid={%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX} result=ok"
                      : "BProf::QueryInterface "
                        "iid={%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX} "
                        "result=no_interface",
                riid);
    if (!known) {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    *ppvObject = static_cast<ICorProfilerCallback2*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE BaseProfiler::AddRef() {
    if (m_pTotalRef != nullptr) {
        ++*m_pTotalRef;
    }
    return static_cast<ULONG>(++m_nRef);
}

ULONG STDMETHODCALLTYPE BaseProfiler::Release() {
    LONG* pTotalRef = m_pTotalRef;
    const LONG nRef = --m_nRef;
    QV_ASSERT(nRef >= 0);
    if (nRef == 0) {
        delete this;
    }
    if (pTotalRef != nullptr) {
        const LONG nTotalRef = --*pTotalRef;
        QV_ASSERT(nTotalRef >= 0);
        (void)nTotalRef;
    }
    return static_cast<ULONG>(nRef);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::Initialize(IUnknown* pICorProfilerInfoUnk) {
    const bool completed = LogEdgeFailure([&] { DoInitialize(pICorProfilerInfoUnk); });
    if (completed) {
        return S_OK;
    }
    ReleaseRuntime();
    return E_FAIL;
}

void BaseProfiler::DoInitialize(IUnknown* pInfoUnknown) {
    Log::Format("BProf::Initialize memoryThreshold=%llu",
                static_cast<unsigned long long>(MemoryThreshold));
    m_pInfo.QueryFrom(pInfoUnknown, IID_ICorProfilerInfo);
    m_pInfo2.QueryFrom(pInfoUnknown, IID_ICorProfilerInfo2);
    if (!m_pInfo) {
        throw std::runtime_error("Can't query ICorProfilerInfo interface");
    }
    Log::SetProfilerInfo(m_pInfo.Get());
    if (m_pBridge == nullptr) {
        throw _com_error(E_POINTER);
    }
    m_pBridge->Connect();
    GatherEnvironment(pInfoUnknown);
    const HRESULT hr = m_pInfo->SetEventMask(GetEventMask());
    if (FAILED(hr)) {
        throw _hr_error("Can't set event mask", hr);
    }
    OnBeginInitialize();
    OnEndInitialize();
    m_pBridge->ActivateCommands();
}

void BaseProfiler::GatherEnvironment(IUnknown* pInfoUnknown) {
    DWORD runtimeType = EnvironmentGatherer::RuntimeUnknown;
    Platform::FileVersion version{0, 0, 0, 0};
    Platform::ModuleHandle module = g_pModuleLookup->pFind(RuntimeModuleName);
    if (module != nullptr) {
        WString fileName;
        if (!g_pModuleLookup->pFileName(module, &fileName)) {
            throw std::runtime_error("Can't get module filename");
        }
        runtimeType = EnvironmentGatherer::RuntimeCore;
        // The version the runtime reports is exact; the module's file name only hints at it.
        ComRef<ICorProfilerInfo3> pInfo3;
        pInfo3.QueryFrom(pInfoUnknown, IID_ICorProfilerInfo3);
        USHORT major = 0, minor = 0, build = 0, qfe = 0;
        ULONG versionLength = 0;
        COR_PRF_RUNTIME_TYPE reportedType = COR_PRF_CORE_CLR;
        if (pInfo3 &&
            SUCCEEDED(pInfo3->GetRuntimeInformation(nullptr, &reportedType, &major, &minor, &build,
                                                    &qfe, 0, &versionLength, nullptr))) {
            version = {major, minor, build, qfe};
        } else if (!g_pModuleLookup->pVersion(module, &version)) {
            throw std::runtime_error("Can't get module version");
        }
    }
    const BYTE level = m_pInfo2 ? InterfaceLevel2 : InterfaceLevel1;
    m_Environment.Gather(g_ProcessGuid, level, runtimeType, version.major, version.minor,
                         version.build, version.revision);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::Shutdown() {
    const bool completed = LogEdgeFailure([this] {
        Log::Message("BProf::Shutdown");
        Log::Flush();
        if (m_pBridge == nullptr) {
            throw _com_error(E_POINTER);
        }
        m_pBridge->DeactivateCommands();
        OnBeginShutdown();
        OnEndShutdown();
    });
    ReleaseRuntime();
    if (!completed) {
        return E_FAIL;
    }
    Log::Message("BProf::Shutdown Done");
    Log::Flush();
    return S_OK;
}

void BaseProfiler::ReleaseRuntime() noexcept {
    LogEdgeFailure([this] {
        if (m_pBridge != nullptr) {
            m_pBridge->Close();
        }
    });
    LogEdgeFailure([this] {
        Log::SetProfilerInfo(nullptr);
        m_pInfo2 = nullptr;
        m_pInfo = nullptr;
    });
}

void BaseProfiler::CreateSnapshot() {
    if (m_pSnapshot != nullptr) {
        throw std::runtime_error("Can't create snapshot twice");
    }
    if (m_pBridge == nullptr) {
        throw _com_error(E_POINTER);
    }
    std::unique_ptr<ISnapShotStorage> pSnapshot = m_pBridge->CreateSnapShotStorage();
    GUID sequence = GUID_NULL;
    const DWORD sequenceNumber = GenerateSnapshotSequenceGuid(&sequence);
    pSnapshot->Create(m_pBridge->GetControl(), GetSnapshotType(), m_SnapshotIndex, sequence,
                      sequenceNumber);
    m_Environment.Write(*pSnapshot, m_pBridge->GetControllerText(), m_SnapshotIndex, sequence,
                        sequenceNumber);
    WriteSnapshotHeader(*pSnapshot);
    m_pSnapshot = std::move(pSnapshot);
}

void BaseProfiler::CloseSnapshot() {
    if (m_pSnapshot == nullptr) {
        throw std::runtime_error("Snapshot was not opened");
    }
    std::unique_ptr<ISnapShotStorage> pSnapshot = std::move(m_pSnapshot);
    WriteSnapshotData(*pSnapshot);
    pSnapshot->Close();
    OnSnapshotSaved();
    ++m_SnapshotIndex;
    pSnapshot.reset();
    IBridgeControl* pControl = m_pBridge != nullptr ? m_pBridge->GetControl() : nullptr;
    if (pControl != nullptr && pControl->IsErrorReported()) {
        DropSnapshotData();
    }
}

void BaseProfiler::DropSnapshot() {
    m_pSnapshot.reset();
    DropSnapshotData();
}

// ---- Callbacks that only log

HRESULT STDMETHODCALLTYPE BaseProfiler::AppDomainCreationStarted(AppDomainID appDomainId) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainCreationStarted did=%p",
                       Id(appDomainId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::AppDomainCreationFinished(AppDomainID appDomainId,
                                                                  HRESULT hrStatus) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainCreationFinished did=%p hr=%08X",
                       Id(appDomainId), hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::AppDomainShutdownStarted(AppDomainID appDomainId) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainShutdownStarted did=%p",
                       Id(appDomainId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::AppDomainShutdownFinished(AppDomainID appDomainId,
                                                                  HRESULT hrStatus) {
    return LogCallback(LogComponent::AppDomainCb, "AppDomainShutdownFinished did=%p hr=%08X",
                       Id(appDomainId), hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::AssemblyLoadStarted(AssemblyID assemblyId) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyLoadStarted aid=%p", Id(assemblyId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::AssemblyLoadFinished(AssemblyID assemblyId,
                                                             HRESULT hrStatus) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyLoadFinished aid=%p hr=%08X",
                       Id(assemblyId), hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::AssemblyUnloadStarted(AssemblyID assemblyId) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyUnloadStarted aid=%p", Id(assemblyId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::AssemblyUnloadFinished(AssemblyID assemblyId,
                                                               HRESULT hrStatus) {
    return LogCallback(LogComponent::AssemblyCb, "AssemblyUnloadFinished aid=%p hr=%08X",
                       Id(assemblyId), hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ModuleLoadStarted(ModuleID moduleId) {
    return LogCallback(LogComponent::ModuleCb, "ModuleLoadStarted mid=%p", Id(moduleId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) {
    return LogCallback(LogComponent::ModuleCb, "ModuleLoadFinished mid=%p hr=%08X", Id(moduleId),
                       hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ModuleUnloadStarted(ModuleID moduleId) {
    return LogCallback(LogComponent::ModuleCb, "ModuleUnloadStarted mid=%p", Id(moduleId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ModuleUnloadFinished(ModuleID moduleId, HRESULT hrStatus) {
    return LogCallback(LogComponent::ModuleCb, "ModuleUnloadFinished mid=%p hr=%08X", Id(moduleId),
                       hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ModuleAttachedToAssembly(ModuleID moduleId,
                                                                 AssemblyID assemblyId) {
    return LogCallback(LogComponent::ModuleCb, "ModuleAttachedToAssembly mid=%p aid=%p",
                       Id(moduleId), Id(assemblyId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ClassLoadStarted(ClassID classId) {
    return LogCallback(LogComponent::ClassCb, "ClassLoadStarted cid=%p", Id(classId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ClassLoadFinished(ClassID classId, HRESULT hrStatus) {
    return LogCallback(LogComponent::ClassCb, "ClassLoadFinished cid=%p hr=%08X", Id(classId),
                       hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ClassUnloadStarted(ClassID classId) {
    return LogCallback(LogComponent::ClassCb, "ClassUnloadStarted cid=%p", Id(classId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ClassUnloadFinished(ClassID classId, HRESULT hrStatus) {
    return LogCallback(LogComponent::ClassCb, "ClassUnloadFinished cid=%p hr=%08X", Id(classId),
                       hrStatus);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::FunctionUnloadStarted(FunctionID functionId) {
    return LogCallback(LogComponent::FunctionCb, "FunctionUnloadStarted fid=%p", Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::JITCompilationStarted(FunctionID functionId,
                                                              BOOL fIsSafeToBlock) {
    return LogCallback(LogComponent::FunctionCb, "JITCompilationStarted fid=%p safe=%d",
                       Id(functionId), fIsSafeToBlock);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::JITCompilationFinished(FunctionID functionId,
                                                               HRESULT hrStatus,
                                                               BOOL fIsSafeToBlock) {
    return LogCallback(LogComponent::FunctionCb, "JITCompilationFinished fid=%p hr=%08X safe=%d",
                       Id(functionId), hrStatus, fIsSafeToBlock);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::JITCachedFunctionSearchStarted(FunctionID functionId,
                                                                       BOOL* pbUseCachedFunction) {
    return LogCallback(LogComponent::FunctionCb, "JITCachedFunctionSearchStarted fid=%p",
                       Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::JITCachedFunctionSearchFinished(FunctionID functionId,
                                                                        COR_PRF_JIT_CACHE result) {
    return LogCallback(LogComponent::FunctionCb, "JITCachedFunctionSearchFinished fid=%p result=%d",
                       Id(functionId), static_cast<int>(result));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::JITFunctionPitched(FunctionID functionId) {
    return LogCallback(LogComponent::FunctionCb, "JITFunctionPitched fid=%p", Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::JITInlining(FunctionID callerId, FunctionID calleeId,
                                                    BOOL* pfShouldInline) {
    return LogCallback(LogComponent::FunctionCb, "JITInlining caller=%p callee=%p", Id(callerId),
                       Id(calleeId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ThreadCreated(ThreadID threadId) {
    return LogCallback(LogComponent::ThreadCb, "ThreadCreated tid=%p", Id(threadId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ThreadDestroyed(ThreadID threadId) {
    return LogCallback(LogComponent::ThreadCb, "ThreadDestroyed tid=%p", Id(threadId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ThreadAssignedToOSThread(ThreadID managedThreadId,
                                                                 DWORD osThreadId) {
    return LogCallback(LogComponent::ThreadCb, "ThreadAssignedToOSThread tid=%p osid=%08X",
                       Id(managedThreadId), osThreadId);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingClientInvocationStarted() {
    return LogCallback(LogComponent::RemotingCb, "RemotingClientInvocationStarted");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingClientSendingMessage(GUID* pCookie, BOOL fIsAsync) {
    return LogCallback(LogComponent::RemotingCb, "RemotingClientSendingMessage async=%d", fIsAsync);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingClientReceivingReply(GUID* pCookie, BOOL fIsAsync) {
    return LogCallback(LogComponent::RemotingCb, "RemotingClientReceivingReply async=%d", fIsAsync);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingClientInvocationFinished() {
    return LogCallback(LogComponent::RemotingCb, "RemotingClientInvocationFinished");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingServerReceivingMessage(GUID* pCookie,
                                                                       BOOL fIsAsync) {
    return LogCallback(LogComponent::RemotingCb, "RemotingServerReceivingMessage async=%d",
                       fIsAsync);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingServerInvocationStarted() {
    return LogCallback(LogComponent::RemotingCb, "RemotingServerInvocationStarted");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingServerInvocationReturned() {
    return LogCallback(LogComponent::RemotingCb, "RemotingServerInvocationReturned");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RemotingServerSendingReply(GUID* pCookie, BOOL fIsAsync) {
    return LogCallback(LogComponent::RemotingCb, "RemotingServerSendingReply async=%d", fIsAsync);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::UnmanagedToManagedTransition(
    FunctionID functionId, COR_PRF_TRANSITION_REASON reason) {
    return LogCallback(LogComponent::TransitionCb, "UnmanagedToManagedTransition fid=%p reason=%d",
                       Id(functionId), static_cast<int>(reason));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ManagedToUnmanagedTransition(
    FunctionID functionId, COR_PRF_TRANSITION_REASON reason) {
    return LogCallback(LogComponent::TransitionCb, "ManagedToUnmanagedTransition fid=%p reason=%d",
                       Id(functionId), static_cast<int>(reason));
}

HRESULT STDMETHODCALLTYPE
BaseProfiler::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeSuspendStarted reason=%d",
                       static_cast<int>(suspendReason));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RuntimeSuspendFinished() {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeSuspendFinished");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RuntimeSuspendAborted() {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeSuspendAborted");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RuntimeResumeStarted() {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeResumeStarted");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RuntimeResumeFinished() {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeResumeFinished");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RuntimeThreadSuspended(ThreadID threadId) {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeThreadSuspended tid=%p", Id(threadId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RuntimeThreadResumed(ThreadID threadId) {
    return LogCallback(LogComponent::RuntimeCb, "RuntimeThreadResumed tid=%p", Id(threadId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::MovedReferences(ULONG cMovedObjectIDRanges,
                                                        ObjectID oldObjectIDRangeStart[],
                                                        ObjectID newObjectIDRangeStart[],
                                                        ULONG cObjectIDRangeLength[]) {
    return LogCallback(LogComponent::GcCb, "MovedReferences count=%u",
                       static_cast<unsigned>(cMovedObjectIDRanges));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ObjectAllocated(ObjectID objectId, ClassID classId) {
    return LogCallback(LogComponent::GcCb, "ObjectAllocated oid=%p cid=%p", Id(objectId),
                       Id(classId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ObjectsAllocatedByClass(ULONG cClassCount,
                                                                ClassID classIds[],
                                                                ULONG cObjects[]) {
    return LogCallback(LogComponent::GcCb, "ObjectsAllocatedByClass count=%u",
                       static_cast<unsigned>(cClassCount));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ObjectReferences(ObjectID objectId, ClassID classId,
                                                         ULONG cObjectRefs,
                                                         ObjectID objectRefIds[]) {
    return LogCallback(LogComponent::GcCb, "ObjectReferences oid=%p cid=%p count=%u", Id(objectId),
                       Id(classId), static_cast<unsigned>(cObjectRefs));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RootReferences(ULONG cRootRefs, ObjectID rootRefIds[]) {
    return LogCallback(LogComponent::GcCb, "RootReferences count=%u",
                       static_cast<unsigned>(cRootRefs));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionThrown(ObjectID thrownObjectId) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionThrown oid=%p", Id(thrownObjectId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionSearchFunctionEnter(FunctionID functionId) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionSearchFunctionEnter fid=%p",
                       Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionSearchFunctionLeave() {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionSearchFunctionLeave");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionSearchFilterEnter(FunctionID functionId) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionSearchFilterEnter fid=%p",
                       Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionSearchFilterLeave() {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionSearchFilterLeave");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionSearchCatcherFound(FunctionID functionId) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionSearchCatcherFound fid=%p",
                       Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionOSHandlerEnter(UINT_PTR unused) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionOSHandlerEnter");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionOSHandlerLeave(UINT_PTR unused) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionOSHandlerLeave");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionUnwindFunctionEnter(FunctionID functionId) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionUnwindFunctionEnter fid=%p",
                       Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionUnwindFunctionLeave() {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionUnwindFunctionLeave");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionUnwindFinallyEnter(FunctionID functionId) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionUnwindFinallyEnter fid=%p",
                       Id(functionId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionUnwindFinallyLeave() {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionUnwindFinallyLeave");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionCatcherEnter(FunctionID functionId,
                                                              ObjectID objectId) {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionCatcherEnter fid=%p oid=%p",
                       Id(functionId), Id(objectId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionCatcherLeave() {
    return LogCallback(LogComponent::ExceptionCb, "ExceptionCatcherLeave");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::COMClassicVTableCreated(ClassID wrappedClassId,
                                                                REFGUID implementedIID,
                                                                void* pVTable, ULONG cSlots) {
    return LogCallback(LogComponent::VTableCb, "COMClassicVTableCreated cid=%p vtable=%p slots=%u",
                       Id(wrappedClassId), pVTable, static_cast<unsigned>(cSlots));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::COMClassicVTableDestroyed(ClassID wrappedClassId,
                                                                  REFGUID implementedIID,
                                                                  void* pVTable) {
    return LogCallback(LogComponent::VTableCb, "COMClassicVTableDestroyed cid=%p vtable=%p",
                       Id(wrappedClassId), pVTable);
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionCLRCatcherFound() {
    return LogCallback(LogComponent::ExceptionClrCb, "ExceptionCLRCatcherFound");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ExceptionCLRCatcherExecute() {
    return LogCallback(LogComponent::ExceptionClrCb, "ExceptionCLRCatcherExecute");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                          WCHAR name[]) {
    return LogCallback(LogComponent::ThreadCb, "ThreadNameChanged tid=%p", Id(threadId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::GarbageCollectionStarted(int cGenerations,
                                                                 BOOL generationCollected[],
                                                                 COR_PRF_GC_REASON reason) {
    return LogCallback(LogComponent::GcCb, "GarbageCollectionStarted generations=%d reason=%d",
                       cGenerations, static_cast<int>(reason));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::SurvivingReferences(ULONG cSurvivingObjectIDRanges,
                                                            ObjectID objectIDRangeStart[],
                                                            ULONG cObjectIDRangeLength[]) {
    return LogCallback(LogComponent::GcCb, "SurvivingReferences count=%u",
                       static_cast<unsigned>(cSurvivingObjectIDRanges));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::GarbageCollectionFinished() {
    return LogCallback(LogComponent::GcCb, "GarbageCollectionFinished");
}

HRESULT STDMETHODCALLTYPE BaseProfiler::FinalizeableObjectQueued(DWORD finalizerFlags,
                                                                 ObjectID objectID) {
    return LogCallback(LogComponent::GcCb, "FinalizeableObjectQueued flags=%08X oid=%p",
                       finalizerFlags, Id(objectID));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::RootReferences2(ULONG cRootRefs, ObjectID rootRefIds[],
                                                        COR_PRF_GC_ROOT_KIND rootKinds[],
                                                        COR_PRF_GC_ROOT_FLAGS rootFlags[],
                                                        UINT_PTR rootIds[]) {
    return LogCallback(LogComponent::GcCb, "RootReferences2 count=%u",
                       static_cast<unsigned>(cRootRefs));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::HandleCreated(GCHandleID handleId,
                                                      ObjectID initialObjectId) {
    return LogCallback(LogComponent::HandleCb, "HandleCreated hid=%p oid=%p", Id(handleId),
                       Id(initialObjectId));
}

HRESULT STDMETHODCALLTYPE BaseProfiler::HandleDestroyed(GCHandleID handleId) {
    return LogCallback(LogComponent::HandleCb, "HandleDestroyed hid=%p", Id(handleId));
}
