#include "support/RecordingProfiler.h"

void RecordingProfiler::SetResult(const std::string& name, HRESULT hr) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Results[name] = hr;
}

std::vector<RecordingProfiler::Call> RecordingProfiler::Calls() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Calls;
}

std::vector<RecordingProfiler::Call> RecordingProfiler::Calls(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::vector<Call> calls;
    for (const Call& call : m_Calls) {
        if (call.name == name) {
            calls.push_back(call);
        }
    }
    return calls;
}

ICorProfilerInfo* RecordingProfiler::Info() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_pInfo.Get();
}

ULONG RecordingProfiler::References() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_References;
}

HRESULT RecordingProfiler::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_ICorProfilerCallback ||
        riid == IID_ICorProfilerCallback2) {
        *ppvObject = static_cast<ICorProfilerCallback2*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG RecordingProfiler::AddRef() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return ++m_References;
}

ULONG RecordingProfiler::Release() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return --m_References;
}

HRESULT RecordingProfiler::Record(const char* pName, std::initializer_list<UINT_PTR> args,
                                  const WString& text) {
    ICorProfilerInfo* pInfo;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        pInfo = m_pInfo.Get();
    }
    ThreadID current = 0;
    if (pInfo != nullptr && FAILED(pInfo->GetCurrentThreadID(&current))) {
        current = 0;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Calls.push_back(Call{pName, std::vector<UINT_PTR>(args), text, current});
    auto it = m_Results.find(pName);
    return it == m_Results.end() ? S_OK : it->second;
}

HRESULT RecordingProfiler::Initialize(IUnknown* pICorProfilerInfoUnk) {
    ComRef<ICorProfilerInfo> pInfo;
    try {
        pInfo.QueryFrom(pICorProfilerInfoUnk, IID_ICorProfilerInfo);
    } catch (const _com_error& e) {
        Record("Initialize", {});
        return e.Error();
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_pInfo = std::move(pInfo);
    }
    return Record("Initialize", {});
}

HRESULT RecordingProfiler::Shutdown() {
    HRESULT hr = Record("Shutdown", {});
    ComRef<ICorProfilerInfo> pReleased;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        pReleased = std::move(m_pInfo);
    }
    return hr;
}

HRESULT RecordingProfiler::ThreadNameChanged(ThreadID threadId, ULONG cchName, WCHAR name[]) {
    return Record("ThreadNameChanged", {static_cast<UINT_PTR>(threadId), cchName},
                  WString(name, cchName));
}

HRESULT RecordingProfiler::AppDomainCreationStarted(AppDomainID appDomainId) {
    return Record("AppDomainCreationStarted", {static_cast<UINT_PTR>(appDomainId)});
}

HRESULT RecordingProfiler::AppDomainCreationFinished(AppDomainID appDomainId, HRESULT hrStatus) {
    return Record("AppDomainCreationFinished",
                  {static_cast<UINT_PTR>(appDomainId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::AppDomainShutdownStarted(AppDomainID appDomainId) {
    return Record("AppDomainShutdownStarted", {static_cast<UINT_PTR>(appDomainId)});
}

HRESULT RecordingProfiler::AppDomainShutdownFinished(AppDomainID appDomainId, HRESULT hrStatus) {
    return Record("AppDomainShutdownFinished",
                  {static_cast<UINT_PTR>(appDomainId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::AssemblyLoadStarted(AssemblyID assemblyId) {
    return Record("AssemblyLoadStarted", {static_cast<UINT_PTR>(assemblyId)});
}

HRESULT RecordingProfiler::AssemblyLoadFinished(AssemblyID assemblyId, HRESULT hrStatus) {
    return Record("AssemblyLoadFinished",
                  {static_cast<UINT_PTR>(assemblyId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::AssemblyUnloadStarted(AssemblyID assemblyId) {
    return Record("AssemblyUnloadStarted", {static_cast<UINT_PTR>(assemblyId)});
}

HRESULT RecordingProfiler::AssemblyUnloadFinished(AssemblyID assemblyId, HRESULT hrStatus) {
    return Record("AssemblyUnloadFinished",
                  {static_cast<UINT_PTR>(assemblyId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::ModuleLoadStarted(ModuleID moduleId) {
    return Record("ModuleLoadStarted", {static_cast<UINT_PTR>(moduleId)});
}

HRESULT RecordingProfiler::ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) {
    return Record("ModuleLoadFinished",
                  {static_cast<UINT_PTR>(moduleId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::ModuleUnloadStarted(ModuleID moduleId) {
    return Record("ModuleUnloadStarted", {static_cast<UINT_PTR>(moduleId)});
}

HRESULT RecordingProfiler::ModuleUnloadFinished(ModuleID moduleId, HRESULT hrStatus) {
    return Record("ModuleUnloadFinished",
                  {static_cast<UINT_PTR>(moduleId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID AssemblyId) {
    return Record("ModuleAttachedToAssembly",
                  {static_cast<UINT_PTR>(moduleId), static_cast<UINT_PTR>(AssemblyId)});
}

HRESULT RecordingProfiler::ClassLoadStarted(ClassID classId) {
    return Record("ClassLoadStarted", {static_cast<UINT_PTR>(classId)});
}

HRESULT RecordingProfiler::ClassLoadFinished(ClassID classId, HRESULT hrStatus) {
    return Record("ClassLoadFinished",
                  {static_cast<UINT_PTR>(classId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::ClassUnloadStarted(ClassID classId) {
    return Record("ClassUnloadStarted", {static_cast<UINT_PTR>(classId)});
}

HRESULT RecordingProfiler::ClassUnloadFinished(ClassID classId, HRESULT hrStatus) {
    return Record("ClassUnloadFinished",
                  {static_cast<UINT_PTR>(classId), static_cast<UINT_PTR>(hrStatus)});
}

HRESULT RecordingProfiler::FunctionUnloadStarted(FunctionID functionId) {
    return Record("FunctionUnloadStarted", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::JITCompilationStarted(FunctionID functionId, BOOL fIsSafeToBlock) {
    return Record("JITCompilationStarted",
                  {static_cast<UINT_PTR>(functionId), static_cast<UINT_PTR>(fIsSafeToBlock)});
}

HRESULT RecordingProfiler::JITCompilationFinished(FunctionID functionId, HRESULT hrStatus,
                                                  BOOL fIsSafeToBlock) {
    return Record("JITCompilationFinished",
                  {static_cast<UINT_PTR>(functionId), static_cast<UINT_PTR>(hrStatus),
                   static_cast<UINT_PTR>(fIsSafeToBlock)});
}

HRESULT RecordingProfiler::JITCachedFunctionSearchStarted(FunctionID functionId, BOOL*) {
    return Record("JITCachedFunctionSearchStarted", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::JITCachedFunctionSearchFinished(FunctionID functionId,
                                                           COR_PRF_JIT_CACHE result) {
    return Record("JITCachedFunctionSearchFinished",
                  {static_cast<UINT_PTR>(functionId), static_cast<UINT_PTR>(result)});
}

HRESULT RecordingProfiler::JITFunctionPitched(FunctionID functionId) {
    return Record("JITFunctionPitched", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::JITInlining(FunctionID callerId, FunctionID calleeId, BOOL*) {
    return Record("JITInlining",
                  {static_cast<UINT_PTR>(callerId), static_cast<UINT_PTR>(calleeId)});
}

HRESULT RecordingProfiler::ThreadCreated(ThreadID threadId) {
    return Record("ThreadCreated", {static_cast<UINT_PTR>(threadId)});
}

HRESULT RecordingProfiler::ThreadDestroyed(ThreadID threadId) {
    return Record("ThreadDestroyed", {static_cast<UINT_PTR>(threadId)});
}

HRESULT RecordingProfiler::ThreadAssignedToOSThread(ThreadID managedThreadId, DWORD osThreadId) {
    return Record("ThreadAssignedToOSThread",
                  {static_cast<UINT_PTR>(managedThreadId), static_cast<UINT_PTR>(osThreadId)});
}

HRESULT RecordingProfiler::RemotingClientInvocationStarted() {
    return Record("RemotingClientInvocationStarted", {});
}

HRESULT RecordingProfiler::RemotingClientSendingMessage(GUID*, BOOL fIsAsync) {
    return Record("RemotingClientSendingMessage", {static_cast<UINT_PTR>(fIsAsync)});
}

HRESULT RecordingProfiler::RemotingClientReceivingReply(GUID*, BOOL fIsAsync) {
    return Record("RemotingClientReceivingReply", {static_cast<UINT_PTR>(fIsAsync)});
}

HRESULT RecordingProfiler::RemotingClientInvocationFinished() {
    return Record("RemotingClientInvocationFinished", {});
}

HRESULT RecordingProfiler::RemotingServerReceivingMessage(GUID*, BOOL fIsAsync) {
    return Record("RemotingServerReceivingMessage", {static_cast<UINT_PTR>(fIsAsync)});
}

HRESULT RecordingProfiler::RemotingServerInvocationStarted() {
    return Record("RemotingServerInvocationStarted", {});
}

HRESULT RecordingProfiler::RemotingServerInvocationReturned() {
    return Record("RemotingServerInvocationReturned", {});
}

HRESULT RecordingProfiler::RemotingServerSendingReply(GUID*, BOOL fIsAsync) {
    return Record("RemotingServerSendingReply", {static_cast<UINT_PTR>(fIsAsync)});
}

HRESULT RecordingProfiler::UnmanagedToManagedTransition(FunctionID functionId,
                                                        COR_PRF_TRANSITION_REASON reason) {
    return Record("UnmanagedToManagedTransition",
                  {static_cast<UINT_PTR>(functionId), static_cast<UINT_PTR>(reason)});
}

HRESULT RecordingProfiler::ManagedToUnmanagedTransition(FunctionID functionId,
                                                        COR_PRF_TRANSITION_REASON reason) {
    return Record("ManagedToUnmanagedTransition",
                  {static_cast<UINT_PTR>(functionId), static_cast<UINT_PTR>(reason)});
}

HRESULT RecordingProfiler::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) {
    return Record("RuntimeSuspendStarted", {static_cast<UINT_PTR>(suspendReason)});
}

HRESULT RecordingProfiler::RuntimeSuspendFinished() {
    return Record("RuntimeSuspendFinished", {});
}

HRESULT RecordingProfiler::RuntimeSuspendAborted() {
    return Record("RuntimeSuspendAborted", {});
}

HRESULT RecordingProfiler::RuntimeResumeStarted() {
    return Record("RuntimeResumeStarted", {});
}

HRESULT RecordingProfiler::RuntimeResumeFinished() {
    return Record("RuntimeResumeFinished", {});
}

HRESULT RecordingProfiler::RuntimeThreadSuspended(ThreadID threadId) {
    return Record("RuntimeThreadSuspended", {static_cast<UINT_PTR>(threadId)});
}

HRESULT RecordingProfiler::RuntimeThreadResumed(ThreadID threadId) {
    return Record("RuntimeThreadResumed", {static_cast<UINT_PTR>(threadId)});
}

HRESULT RecordingProfiler::MovedReferences(ULONG cMovedObjectIDRanges, ObjectID*, ObjectID*,
                                           ULONG*) {
    return Record("MovedReferences", {static_cast<UINT_PTR>(cMovedObjectIDRanges)});
}

HRESULT RecordingProfiler::ObjectAllocated(ObjectID objectId, ClassID classId) {
    return Record("ObjectAllocated",
                  {static_cast<UINT_PTR>(objectId), static_cast<UINT_PTR>(classId)});
}

HRESULT RecordingProfiler::ObjectsAllocatedByClass(ULONG cClassCount, ClassID*, ULONG*) {
    return Record("ObjectsAllocatedByClass", {static_cast<UINT_PTR>(cClassCount)});
}

HRESULT RecordingProfiler::ObjectReferences(ObjectID objectId, ClassID classId, ULONG cObjectRefs,
                                            ObjectID*) {
    return Record("ObjectReferences",
                  {static_cast<UINT_PTR>(objectId), static_cast<UINT_PTR>(classId),
                   static_cast<UINT_PTR>(cObjectRefs)});
}

HRESULT RecordingProfiler::RootReferences(ULONG cRootRefs, ObjectID*) {
    return Record("RootReferences", {static_cast<UINT_PTR>(cRootRefs)});
}

HRESULT RecordingProfiler::ExceptionThrown(ObjectID thrownObjectId) {
    return Record("ExceptionThrown", {static_cast<UINT_PTR>(thrownObjectId)});
}

HRESULT RecordingProfiler::ExceptionSearchFunctionEnter(FunctionID functionId) {
    return Record("ExceptionSearchFunctionEnter", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::ExceptionSearchFunctionLeave() {
    return Record("ExceptionSearchFunctionLeave", {});
}

HRESULT RecordingProfiler::ExceptionSearchFilterEnter(FunctionID functionId) {
    return Record("ExceptionSearchFilterEnter", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::ExceptionSearchFilterLeave() {
    return Record("ExceptionSearchFilterLeave", {});
}

HRESULT RecordingProfiler::ExceptionSearchCatcherFound(FunctionID functionId) {
    return Record("ExceptionSearchCatcherFound", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::ExceptionOSHandlerEnter(UINT_PTR unused) {
    return Record("ExceptionOSHandlerEnter", {static_cast<UINT_PTR>(unused)});
}

HRESULT RecordingProfiler::ExceptionOSHandlerLeave(UINT_PTR unused) {
    return Record("ExceptionOSHandlerLeave", {static_cast<UINT_PTR>(unused)});
}

HRESULT RecordingProfiler::ExceptionUnwindFunctionEnter(FunctionID functionId) {
    return Record("ExceptionUnwindFunctionEnter", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::ExceptionUnwindFunctionLeave() {
    return Record("ExceptionUnwindFunctionLeave", {});
}

HRESULT RecordingProfiler::ExceptionUnwindFinallyEnter(FunctionID functionId) {
    return Record("ExceptionUnwindFinallyEnter", {static_cast<UINT_PTR>(functionId)});
}

HRESULT RecordingProfiler::ExceptionUnwindFinallyLeave() {
    return Record("ExceptionUnwindFinallyLeave", {});
}

HRESULT RecordingProfiler::ExceptionCatcherEnter(FunctionID functionId, ObjectID objectId) {
    return Record("ExceptionCatcherEnter",
                  {static_cast<UINT_PTR>(functionId), static_cast<UINT_PTR>(objectId)});
}

HRESULT RecordingProfiler::ExceptionCatcherLeave() {
    return Record("ExceptionCatcherLeave", {});
}

HRESULT RecordingProfiler::COMClassicVTableCreated(ClassID wrappedClassId, REFGUID, void*,
                                                   ULONG cSlots) {
    return Record("COMClassicVTableCreated",
                  {static_cast<UINT_PTR>(wrappedClassId), static_cast<UINT_PTR>(cSlots)});
}

HRESULT RecordingProfiler::COMClassicVTableDestroyed(ClassID wrappedClassId, REFGUID, void*) {
    return Record("COMClassicVTableDestroyed", {static_cast<UINT_PTR>(wrappedClassId)});
}

HRESULT RecordingProfiler::ExceptionCLRCatcherFound() {
    return Record("ExceptionCLRCatcherFound", {});
}

HRESULT RecordingProfiler::ExceptionCLRCatcherExecute() {
    return Record("ExceptionCLRCatcherExecute", {});
}

HRESULT RecordingProfiler::GarbageCollectionStarted(int cGenerations, BOOL*,
                                                    COR_PRF_GC_REASON reason) {
    return Record("GarbageCollectionStarted",
                  {static_cast<UINT_PTR>(cGenerations), static_cast<UINT_PTR>(reason)});
}

HRESULT RecordingProfiler::SurvivingReferences(ULONG cSurvivingObjectIDRanges, ObjectID*, ULONG*) {
    return Record("SurvivingReferences", {static_cast<UINT_PTR>(cSurvivingObjectIDRanges)});
}

HRESULT RecordingProfiler::GarbageCollectionFinished() {
    return Record("GarbageCollectionFinished", {});
}

HRESULT RecordingProfiler::FinalizeableObjectQueued(DWORD finalizerFlags, ObjectID objectID) {
    return Record("FinalizeableObjectQueued",
                  {static_cast<UINT_PTR>(finalizerFlags), static_cast<UINT_PTR>(objectID)});
}

HRESULT RecordingProfiler::RootReferences2(ULONG cRootRefs, ObjectID*, COR_PRF_GC_ROOT_KIND*,
                                           COR_PRF_GC_ROOT_FLAGS*, UINT_PTR*) {
    return Record("RootReferences2", {static_cast<UINT_PTR>(cRootRefs)});
}

HRESULT RecordingProfiler::HandleCreated(GCHandleID handleId, ObjectID initialObjectId) {
    return Record("HandleCreated",
                  {static_cast<UINT_PTR>(handleId), static_cast<UINT_PTR>(initialObjectId)});
}

HRESULT RecordingProfiler::HandleDestroyed(GCHandleID handleId) {
    return Record("HandleDestroyed", {static_cast<UINT_PTR>(handleId)});
}
