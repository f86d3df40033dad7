// The layer of the performance profilers that decides when a snapshot is open and when measuring
// runs. Three sources drive it: the profiler's life cycle (start at initialisation, save at
// shutdown), the controller's Start, StopDrop and StopSave (queued to the measure command thread),
// and the profiled application through the PerformanceProfiler_* exports. The control kind chosen
// in the handshake lets either the controller (manual) or the application (api) act. All of them
// end in seven guarded operations that check the snapshot and measuring state first.
//
// Every controller command and API call holds the measure gate as writer for its whole run, so
// they are serialised against each other and against every callback and hook (the readers).
//
// It also supplies the kinds' settings (read from the handshake) and answers the runtime callbacks
// the performance kinds only log.
#pragma once

#include "Bridge/IMeasureBridgeControl.h"
#include "Bridge/IMeasureBridgeEvent.h"
#include "Platform/Types.h"
#include "Profiler/BaseProfiler.h"
#include "Profiler/Performance/IPerformanceApi.h"
#include "Profiler/Performance/MeasureGate.h"
#include "Profiler/Performance/MeasureTime.h"
#include "Profiler/Performance/PerformanceClientInfo.h"
#include "Profiler/Performance/PerformanceSettings.h"

class BaseApiPerformanceProfiler : public BaseProfiler,
                                   public IMeasureBridgeEvent,
                                   public IPerformanceApi {
public:
    // Result codes of the API operations and codes of the guarded operations' _cr_errors.
    static constexpr DWORD ResultSuccess = 0;
    static constexpr DWORD ResultApiNotInControl = 1;
    static constexpr DWORD ResultFailure = 0x80000000;
    static constexpr DWORD ResultNoProfiler = 0x80000001;
    static constexpr DWORD ResultApiDisabled = 0x80000002;
    static constexpr DWORD ResultNotImplemented = 0x80000003;
    static constexpr DWORD ResultErrorReported = 0x80000005;
    static constexpr DWORD ResultInvalidState = 0x80000006;

    // Hands the client-info object and the event sink to the bridge (when there is one) and
    // becomes the process's performance API.
    BaseApiPerformanceProfiler(LONG* pTotalRef, Bridge* pBridge);

    // IMeasureBridgeEvent: the controller's commands, on the measure command thread. Failures
    // are logged; nothing is then sent to the controller.
    void BridgeStart() override;
    void BridgeStopDrop() override;
    void BridgeStopSave() override;

    // IPerformanceApi: on application threads; result codes above, never an exception.
    DWORD ApiIsActive() override;
    DWORD ApiBegin() override;
    DWORD ApiBeginGroup(const WCHAR* pName) override;
    DWORD ApiEndGroup() override;
    DWORD ApiStart() override;
    DWORD ApiStop() override;
    DWORD ApiEndDrop() override;
    DWORD ApiEndSave() override;

    // Callbacks the performance kinds only log (when their component is on); each answers
    // E_NOTIMPL.
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
    HRESULT STDMETHODCALLTYPE ClassLoadStarted(ClassID classId) override;
    HRESULT STDMETHODCALLTYPE ClassLoadFinished(ClassID classId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ClassUnloadStarted(ClassID classId) override;
    HRESULT STDMETHODCALLTYPE ClassUnloadFinished(ClassID classId, HRESULT hrStatus) override;
    HRESULT STDMETHODCALLTYPE ExceptionCLRCatcherFound() override;
    HRESULT STDMETHODCALLTYPE ExceptionCLRCatcherExecute() override;
    HRESULT STDMETHODCALLTYPE ObjectAllocated(ObjectID objectId, ClassID classId) override;
    HRESULT STDMETHODCALLTYPE MovedReferences(ULONG cMovedObjectIDRanges,
                                              ObjectID oldObjectIDRangeStart[],
                                              ObjectID newObjectIDRangeStart[],
                                              ULONG cObjectIDRangeLength[]) override;
    HRESULT STDMETHODCALLTYPE SurvivingReferences(ULONG cSurvivingObjectIDRanges,
                                                  ObjectID objectIDRangeStart[],
                                                  ULONG cObjectIDRangeLength[]) override;
    HRESULT STDMETHODCALLTYPE ObjectsAllocatedByClass(ULONG cClassCount, ClassID classIds[],
                                                      ULONG cObjects[]) override;
    HRESULT STDMETHODCALLTYPE ObjectReferences(ObjectID objectId, ClassID classId,
                                               ULONG cObjectRefs, ObjectID objectRefIds[]) override;
    HRESULT STDMETHODCALLTYPE RootReferences(ULONG cRootRefs, ObjectID rootRefIds[]) override;
    HRESULT STDMETHODCALLTYPE RootReferences2(ULONG cRootRefs, ObjectID rootRefIds[],
                                              COR_PRF_GC_ROOT_KIND rootKinds[],
                                              COR_PRF_GC_ROOT_FLAGS rootFlags[],
                                              UINT_PTR rootIds[]) override;
    HRESULT STDMETHODCALLTYPE GarbageCollectionStarted(int cGenerations, BOOL generationCollected[],
                                                       COR_PRF_GC_REASON reason) override;
    HRESULT STDMETHODCALLTYPE GarbageCollectionFinished() override;
    HRESULT STDMETHODCALLTYPE FinalizeableObjectQueued(DWORD finalizerFlags,
                                                       ObjectID objectID) override;
    HRESULT STDMETHODCALLTYPE HandleCreated(GCHandleID handleId, ObjectID initialObjectId) override;
    HRESULT STDMETHODCALLTYPE HandleDestroyed(GCHandleID handleId) override;
    HRESULT STDMETHODCALLTYPE RemotingClientInvocationStarted() override;
    HRESULT STDMETHODCALLTYPE RemotingClientInvocationFinished() override;
    HRESULT STDMETHODCALLTYPE RemotingServerInvocationStarted() override;
    HRESULT STDMETHODCALLTYPE RemotingServerInvocationReturned() override;
    HRESULT STDMETHODCALLTYPE RemotingClientSendingMessage(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingClientReceivingReply(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingServerReceivingMessage(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingServerSendingReply(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE COMClassicVTableCreated(ClassID wrappedClassId,
                                                      REFGUID implementedIID, void* pVTable,
                                                      ULONG cSlots) override;
    HRESULT STDMETHODCALLTYPE COMClassicVTableDestroyed(ClassID wrappedClassId,
                                                        REFGUID implementedIID,
                                                        void* pVTable) override;

    const PerformanceSettings& GetSettings() const { return m_ClientInfo.GetSettings(); }
    MeasureGate& GetMeasureGate() { return m_Gate; }

protected:
    ~BaseApiPerformanceProfiler() override;

    // Start at initialisation (manual control with the flag set), or tell the controller that
    // nothing runs. Raises to Initialize.
    void OnEndInitialize() override;
    // Stops measuring and saves an open snapshot; failures are logged and shutdown goes on.
    void OnBeginShutdown() override;

    // Measuring, implemented by the performance base.
    virtual bool IsMeasuring() = 0;
    // Leaves the records' internal-time cells in the time.
    virtual void StartMeasure(MeasureTime& time) = 0;
    // Calls still open are flagged as measured partly unless this is the final stop.
    virtual void StopMeasure(MeasureTime& time, bool finalStop) = 0;
    virtual void BeginGroup(const WCHAR* pName) = 0;
    virtual void EndGroup() = 0;

    // The guarded operations: each raises _cr_error 0x80000005 once an error notification has
    // gone to the controller, 0x80000006 when the state does not allow it.
    void DoBegin();
    void DoBeginGroup(const WCHAR* pName);
    void DoEndGroup();
    void DoStart(MeasureTime& time);
    void DoStop(MeasureTime& time, bool finalStop);
    void DoEndDrop();
    void DoEndSave();

    // 0 manual, 1 api, as the controller chose in the handshake (manual before it).
    DWORD GetControlKind() const;
    // True once an error notification has gone to the controller: the run counts as failed.
    bool IsErrorReported() const;
    // The stamp of a switch for the settings' measure kind; raises "Unknown measure".
    MeasureTime StampTime() const;
    // Adds the time since the stamp to every cell the switch returned, for a common stamp, so
    // that switching (a start, a flush) counts as profiler time on every thread.
    void CompensateSwitch(MeasureTime& time) const;

    // Readers: every callback and hook. Writers: every switch, flush and API or controller call.
    MeasureGate m_Gate;

private:
    // Runs one API operation under the gate as writer and turns what it raises into a result.
    template <class Operation>
    DWORD RunApi(Operation&& operation);
    // Runs one controller command under the gate as writer; failures are logged.
    template <class Command>
    void RunBridgeCommand(const char* pLine, Command&& command);
    // Raises 0x80000005 after an error notification, then 0x80000006 unless a snapshot is open
    // (or absent) and measuring is on (or off) as asked.
    void RequireState(bool snapshotOpen, bool measuring);
    void RequireApiControl() const;
    // A composite controller command: stop, then drop or save, then tell the controller.
    void StopAndEnd(bool save);
    IMeasureBridgeControl& GetMeasureControl() const;

    PerformanceClientInfo m_ClientInfo;
};
