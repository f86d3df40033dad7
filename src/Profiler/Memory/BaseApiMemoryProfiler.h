// The memory profiler's control layer, between BaseProfiler and MemoryProfiler: the single entry
// for the two requests that exist, a forced collection and a heap dump. They come from the
// controller through the memory command processor under manual control, or from the profiled
// application through the MemoryProfiler_* exports under API control, and are served by the
// GcThread. It also answers the runtime callbacks the memory kind only logs.
#pragma once

#include "Bridge/IMemoryBridgeEvent.h"
#include "Profiler/BaseProfiler.h"
#include "Profiler/Memory/GcThread.h"
#include "Profiler/Memory/IMemoryApi.h"
#include "Profiler/Memory/MemoryClientInfo.h"

class BaseApiMemoryProfiler : public BaseProfiler, public IMemoryBridgeEvent, public IMemoryApi {
public:
    // Result codes of the API exports.
    static constexpr DWORD ApiFailed = 0x80000000;
    static constexpr DWORD ApiDisabled = 0x80000002;
    static constexpr DWORD ApiErrorReported = 0x80000005;

    // Hands the client-info object and the event sink to the bridge (when there is one) and
    // becomes the process-wide memory API.
    BaseApiMemoryProfiler(LONG* pTotalRef, Bridge* pBridge);

    // IMemoryApi, on application threads.
    DWORD IsActive() override;
    DWORD ApiForceGC() override;
    DWORD ApiDump() override;

    // IMemoryBridgeEvent, on the command thread.
    bool NeedBackgroundWork() override;
    void DoBackgroundWork() override;
    void BridgeForceGC() override;
    void BridgeDump() override;

    // Callbacks this kind only logs; each returns E_NOTIMPL.
    HRESULT STDMETHODCALLTYPE JITCompilationStarted(FunctionID functionId,
                                                    BOOL fIsSafeToBlock) override;
    HRESULT STDMETHODCALLTYPE JITCompilationFinished(FunctionID functionId, HRESULT hrStatus,
                                                     BOOL fIsSafeToBlock) override;
    HRESULT STDMETHODCALLTYPE JITCachedFunctionSearchFinished(FunctionID functionId,
                                                              COR_PRF_JIT_CACHE result) override;
    HRESULT STDMETHODCALLTYPE JITInlining(FunctionID callerId, FunctionID calleeId,
                                          BOOL* pfShouldInline) override;
    HRESULT STDMETHODCALLTYPE RemotingClientSendingMessage(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingClientReceivingReply(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingServerReceivingMessage(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RemotingServerSendingReply(GUID* pCookie, BOOL fIsAsync) override;
    HRESULT STDMETHODCALLTYPE RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) override;
    HRESULT STDMETHODCALLTYPE RuntimeThreadSuspended(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE RuntimeThreadResumed(ThreadID threadId) override;
    HRESULT STDMETHODCALLTYPE
    UnmanagedToManagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;
    HRESULT STDMETHODCALLTYPE
    ManagedToUnmanagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) override;
    HRESULT STDMETHODCALLTYPE COMClassicVTableCreated(ClassID wrappedClassId,
                                                      REFGUID implementedIID, void* pVTable,
                                                      ULONG cSlots) override;
    HRESULT STDMETHODCALLTYPE COMClassicVTableDestroyed(ClassID wrappedClassId,
                                                        REFGUID implementedIID,
                                                        void* pVTable) override;

protected:
    // Clears the API pointer and stops the GcThread.
    ~BaseApiMemoryProfiler() override;

    // Refuses a runtime without ICorProfilerInfo2 and starts the GcThread.
    void OnBeginInitialize() override;
    // Under manual control opens the snapshot the settings ask for and says Done; then enables
    // the GcThread.
    void OnEndInitialize() override;
    // Stops the GcThread and drops an open snapshot.
    void OnBeginShutdown() override;
    void OnEndShutdown() override;

    const MemoryClientInfo& GetSettings() const { return m_ClientInfo; }
    GcThread& GetGcThread() { return m_GcThread; }
    // The control interface of the bridge's command processor; null before the handshake.
    IBridgeControl* GetControl() const;
    // True once an error notification went to the controller.
    bool IsErrorReported() const;
    // Drops the open snapshot, letting the kind's writers go of its storage before it goes.
    void DropOpenSnapshot();
    // Around a heap dump's request, on the requesting thread under the control lock: the kind
    // asks for the runtime's full collection reports for that collection only.
    virtual void BeginDumpMonitoring() {}
    virtual void EndDumpMonitoring() {}

private:
    // The control lock: BaseProfiler's first spare word is its spin word, the second a hold word
    // that keeps it waiting while not 0. It serialises the requests of both paths and the
    // background drop; taken on application threads and the command thread, never in callbacks.
    void AcquireControl();
    void ReleaseControl();

    DWORD ServeApi(const char* pName, DWORD mode);
    void ServeBridge(const char* pName, DWORD mode);
    // Queues a request for the GcThread and waits until it has been served.
    void RunGcRequest(DWORD mode);

    MemoryClientInfo m_ClientInfo;
    GcThread m_GcThread;
};
