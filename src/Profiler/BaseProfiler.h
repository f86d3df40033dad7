// The common base of every profiler object: the COM object the runtime sees as its profiler
// callback. It counts references (its own and its kind's total), runs the common part of the
// runtime's initialisation and shutdown, shows the optional attach message, and owns the single
// open snapshot. Each callback that a kind does not take over writes one plain line under its log
// component and returns the status the kind chose (not implemented by default).
#pragma once

#include <memory>
#include <string>

#include "Bridge/ISnapShotStorage.h"
#include "Platform/Cor/CorProfiler.h"
#include "Platform/Process.h"
#include "Platform/Types.h"
#include "Profiler/EnvironmentGatherer.h"
#include "Util/ComRef.h"
#include "Util/ComponentMask.h"
#include "Util/Log.h"

class Bridge;

// One tenth of the smaller of total physical and total virtual memory, computed when the library
// is loaded: the bound on memory that finished call trees may hold.
extern const ULONGLONG MemoryThreshold;

class BaseProfiler : public ICorProfilerCallback2 {
public:
    // The loaded core runtime, whose version goes into the environment record.
    static constexpr const WCHAR* RuntimeModuleName = u"libcoreclr.so";

    // How Initialize finds and reads the runtime module; tests replace it to make a lookup fail.
    struct ModuleLookup {
        Platform::ModuleHandle (*pFind)(const WString& fileName);
        bool (*pFileName)(Platform::ModuleHandle module, WString* fullPath);
        bool (*pVersion)(Platform::ModuleHandle module, Platform::FileVersion* version);
    };
    // Null restores the platform's lookup. Returns the one in force before.
    static const ModuleLookup* SetModuleLookup(const ModuleLookup* pLookup);

    // Shows the attach message titled with the kind's display name when the show-attach-message
    // setting is 1; returns when the user has closed it.
    static void ShowAttachMessage(const WCHAR* pDisplayName);

    // Takes the first reference itself. pBridge may be null and is not owned.
    BaseProfiler(LONG* pTotalRef, Bridge* pBridge);

    BaseProfiler(const BaseProfiler&) = delete;
    BaseProfiler& operator=(const BaseProfiler&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ICorProfilerCallback: the two this class implements.
    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* pICorProfilerInfoUnk) override;
    HRESULT STDMETHODCALLTYPE Shutdown() override;

    // Every other callback: one plain line under its component.
    HRESULT STDMETHODCALLTYPE AppDomainCreationStarted(AppDomainID appDomainId) override;
    HRESULT STDMETHODCALLTYPE AppDomainCreationFinished(AppDomainID appDomainId,
                                                        HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE AppDomainShutdownStarted(AppDomainID appDomainId) override;
    HRESULT STDMETHODCALLTYPE AppDomainShutdownFinished(AppDomainID appDomainId,
                                                        HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE AssemblyLoadStarted(AssemblyID assemblyId) override;
    HRESULT STDMETHODCALLTYPE AssemblyLoadFinished(AssemblyID assemblyId,
                                                   HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE AssemblyUnloadStarted(AssemblyID assemblyId) override;
    HRESULT STDMETHODCALLTYPE AssemblyUnloadFinished(AssemblyID assemblyId,
                                                     HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ModuleLoadStarted(ModuleID moduleId) override;
    HRESULT STDMETHODCALLTYPE ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ModuleUnloadStarted(ModuleID moduleId) override;
    HRESULT STDMETHODCALLTYPE ModuleUnloadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ModuleAttachedToAssembly(ModuleID moduleId,
                                                       AssemblyID assemblyId) override;
    HRESULT STDMETHODCALLTYPE ClassLoadStarted(ClassID classId) override;
    HRESULT STDMETHODCALLTYPE ClassLoadFinished(ClassID classId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ClassUnloadStarted(ClassID classId) override;
    HRESULT STDMETHODCALLTYPE ClassUnloadFinished(ClassID classId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE FunctionUnloadStarted(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE JITCompilationStarted(FunctionID functionId,
                                                    BOOL fIsSafeToBlock) override;
    HRESULT STDMETHODCALLTYPE JITCompilationFinished(FunctionID functionId, HRESULT hrStatus,
                                                     BOOL fIsSafeToBlock) override;
    HRESULT STDMETHODCALLTYPE JITCachedFunctionSearchStarted(FunctionID functionId,
                                                             BOOL* pbUseCachedFunction) override;
    HRESULT STDMETHODCALLTYPE JITCachedFunctionSearchFinished(FunctionID functionId,
                                                              COR_PRF_JIT_CACHE result) override;
    HRESULT STDMETHODCALLTYPE JITFunctionPitched(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE JITInlining(FunctionID callerId, FunctionID calleeId,
                                          BOOL* pfShouldInline) override;
    HRESULT STDMETHODCALLTYPE ThreadCreated(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE ThreadDestroyed(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE ThreadAssignedToOSThread(ThreadID managedThreadId,
                                                       DWORD osThreadId) override;
    HRESULT STDMETHODCALLTYPE RemotingClientInvocationStarted() override;
    HRESULT STDMETHODCALLTYPE RemotingClientSendingMessage(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingClientReceivingReply(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingClientInvocationFinished() override;
    HRESULT STDMETHODCALLTYPE RemotingServerReceivingMessage(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingServerInvocationStarted() override;
    HRESULT STDMETHODCALLTYPE RemotingServerInvocationReturned() override;
    HRESULT STDMETHODCALLTYPE RemotingServerSendingReply(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE
    UnmanagedToManagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;
    HRESULT STDMETHODCALLTYPE
    ManagedToUnmanagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendFinished() override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendAborted() override;
    HRESULT STDMETHODCALLTYPE RuntimeResumeStarted() override;
    HRESULT STDMETHODCALLTYPE RuntimeResumeFinished() override;
    HRESULT STDMETHODCALLTYPE RuntimeThreadSuspended(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE RuntimeThreadResumed(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE MovedReferences(ULONG cMovedObjectIDRanges,
                                              ObjectID oldObjectIDRangeStart[],
                                              ObjectID newObjectIDRangeStart[],
                                              ULONG cObjectIDRangeLength[]) override;
    HRESULT STDMETHODCALLTYPE ObjectAllocated(ObjectID objectId, ClassID classId) override;
    HRESULT STDMETHODCALLTYPE ObjectsAllocatedByClass(ULONG cClassCount, ClassID classIds[],
                                                      ULONG cObjects[]) override;
    HRESULT STDMETHODCALLTYPE ObjectReferences(ObjectID objectId, ClassID classId,
                                               ULONG cObjectRefs, ObjectID objectRefIds[]) override;
    HRESULT STDMETHODCALLTYPE RootReferences(ULONG cRootRefs, ObjectID rootRefIds[]) override;
    HRESULT STDMETHODCALLTYPE ExceptionThrown(ObjectID thrownObjectId) override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFunctionEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFunctionLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFilterEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchFilterLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionSearchCatcherFound(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionOSHandlerEnter(UINT_PTR unused) override;
    HRESULT STDMETHODCALLTYPE ExceptionOSHandlerLeave(UINT_PTR unused) override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFunctionEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFunctionLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFinallyEnter(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE ExceptionUnwindFinallyLeave() override;
    HRESULT STDMETHODCALLTYPE ExceptionCatcherEnter(FunctionID functionId,
                                                    ObjectID objectId) override;
    HRESULT STDMETHODCALLTYPE ExceptionCatcherLeave() override;
    HRESULT STDMETHODCALLTYPE COMClassicVTableCreated(ClassID wrappedClassId,
                                                      REFGUID implementedIID, void* pVTable,
                                                      ULONG cSlots) override;
    HRESULT STDMETHODCALLTYPE COMClassicVTableDestroyed(ClassID wrappedClassId,
                                                        REFGUID implementedIID,
                                                        void* pVTable) override;
    HRESULT STDMETHODCALLTYPE ExceptionCLRCatcherFound() override;
    HRESULT STDMETHODCALLTYPE ExceptionCLRCatcherExecute() override;

    // ICorProfilerCallback2
    HRESULT STDMETHODCALLTYPE ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                WCHAR name[]) override;
    HRESULT STDMETHODCALLTYPE GarbageCollectionStarted(int cGenerations, BOOL generationCollected[],
                                                       COR_PRF_GC_REASON reason) override;
    HRESULT STDMETHODCALLTYPE SurvivingReferences(ULONG cSurvivingObjectIDRanges,
                                                  ObjectID objectIDRangeStart[],
                                                  ULONG cObjectIDRangeLength[]) override;
    HRESULT STDMETHODCALLTYPE GarbageCollectionFinished() override;
    HRESULT STDMETHODCALLTYPE FinalizeableObjectQueued(DWORD finalizerFlags,
                                                       ObjectID objectID) override;
    HRESULT STDMETHODCALLTYPE RootReferences2(ULONG cRootRefs, ObjectID rootRefIds[],
                                              COR_PRF_GC_ROOT_KIND rootKinds[],
                                              COR_PRF_GC_ROOT_FLAGS rootFlags[],
                                              UINT_PTR rootIds[]) override;
    HRESULT STDMETHODCALLTYPE HandleCreated(GCHandleID handleId, ObjectID initialObjectId) override;
    HRESULT STDMETHODCALLTYPE HandleDestroyed(GCHandleID handleId) override;

    // The single open snapshot, for the kinds' command and API paths (which serialise them).
    // Raise "Can't create snapshot twice" and "Snapshot was not opened".
    void CreateSnapshot();
    void CloseSnapshot();
    void DropSnapshot();

    LONG GetReferenceCount() const { return m_nRef; }
    // Closed snapshots so far; never reset.
    DWORD GetSnapshotIndex() const { return m_SnapshotIndex; }
    bool IsSnapshotOpen() const { return m_pSnapshot != nullptr; }

protected:
    // Own operations of the kinds, in their fixed order after the callbacks.
    virtual ~BaseProfiler();
    virtual DWORD GetEventMask() = 0;
    virtual DWORD GetSecondEventMask() { return 0; }
    virtual void OnBeginInitialize() {}
    virtual void OnEndInitialize() {}
    virtual void OnBeginShutdown() {}
    virtual void OnEndShutdown() {}
    // True for a kind that samples other threads' stacks.
    virtual bool IsSampling() { return false; }
    virtual void OnAttachModuleLoad(ModuleID moduleId) {}
    virtual DWORD GetSnapshotType() = 0;
    virtual DWORD GenerateSnapshotSequenceGuid(GUID* pSequence) = 0;
    virtual void OnSnapshotSaved() {}
    virtual void WriteSnapshotHeader(ISnapShotStorage& snapshot) {}
    virtual void WriteSnapshotData(ISnapShotStorage& snapshot) {}
    virtual void DropSnapshotData() {}

    // The log prefix ("BProf" here) and the status of the callbacks this class only logs; a
    // kind that answers them itself sets its own in its constructor.
    void SetCallbackLogging(const char* pPrefix, HRESULT status);

    // One plain line "<prefix>::<text>" under the component, when it is on; returns the
    // callbacks' status.
    template <class... Args>
    HRESULT LogCallback(LogComponent component, const char* pText, Args... args) {
        if (Log::IsEnabled(component)) {
            const std::string format = std::string(m_pCallbackPrefix) + "::" + pText;
            Log::Format(format.c_str(), args...);
        }
        return m_CallbackStatus;
    }
    // Runtime identifiers print with %p.
    static const void* Id(UINT_PTR id) { return reinterpret_cast<const void*>(id); }

    Bridge* GetBridge() const { return m_pBridge; }
    // The open snapshot, or null; it stays the base's.
    ISnapShotStorage* GetOpenSnapshot() const { return m_pSnapshot.get(); }
    ICorProfilerInfo* GetInfo() const { return m_pInfo.Get(); }
    ICorProfilerInfo2* GetInfo2() const { return m_pInfo2.Get(); }

    // The two words the kinds use for their own locks (gate, control lock).
    DWORD m_Spare1 = 0;
    DWORD m_Spare2 = 0;

private:
    void DoInitialize(IUnknown* pInfoUnknown);
    void GatherEnvironment(IUnknown* pInfoUnknown);
    // Closes the bridge, takes the runtime interface away from the log and drops the runtime's
    // interfaces; what it raises is logged.
    void ReleaseRuntime() noexcept;

    Bridge* m_pBridge;
    ComRef<ICorProfilerInfo> m_pInfo;
    ComRef<ICorProfilerInfo2> m_pInfo2;
    LONG* m_pTotalRef;
    // Plain counts: the runtime and the host serialise their AddRef and Release calls.
    LONG m_nRef = 0;
    std::unique_ptr<ISnapShotStorage> m_pSnapshot;
    EnvironmentGatherer m_Environment;
    DWORD m_SnapshotIndex = 0;

    const char* m_pCallbackPrefix = "BProf";
    HRESULT m_CallbackStatus = E_NOTIMPL;
};
