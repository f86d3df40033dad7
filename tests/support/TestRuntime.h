// A scripted stand-in for the managed runtime: its information side (ICorProfilerInfo up to
// ICorProfilerInfo10, every operation present) and a driver that calls a profiler's callbacks the
// way the runtime does. Tests declare managed threads and modules, choose which interfaces
// QueryInterface offers, make operations fail, and read back what the profiler asked for.
//
// Threads: AddThread hands out a ThreadID (pointer-sized, above 32 bits on 64-bit builds, so a
// truncated id shows); BindToCurrentOSThread makes GetCurrentThreadID answer it on the calling OS
// thread (unbound OS threads get 0 and CORPROF_E_NOT_MANAGED_THREAD) and GetThreadInfo report that
// OS thread. GetHandleFromThread answers a distinct non-null handle per thread.
// Modules: AddModule declares a module whose name (the path the runtime reports, a real file when
// the test wants one), base address and assembly GetModuleInfo returns. GetModuleMetaData answers
// the module's TestMetaDataImport once MetaDataOf has declared one, E_NOTIMPL otherwise.
// Classes: AddClass declares a class (module, type definition token, parent, type arguments) and
// AddArrayClass an array of a declared element class; IsArrayClass, GetClassIDInfo and
// GetClassIDInfo2 answer them as the runtime does (arrays: S_FALSE from IsArrayClass for others,
// module 0 and token 0 from GetClassIDInfo, CORPROF_E_CLASSID_IS_ARRAY from GetClassIDInfo2).
// MakeComposite makes a class answer CORPROF_E_CLASSID_IS_COMPOSITE from both GetClassIDInfo calls.
// Functions: AddFunction declares a function (module, method token, class) that GetFunctionInfo
// describes; RemoveFunction forgets it (E_INVALIDARG afterwards).
// Stacks and suspensions: SetStack gives a thread the frames DoStackSnapshot reports (innermost
// first, 0 for a run of unmanaged frames). SuspendRuntime and ResumeRuntime act as the runtime's
// do for a profiler: on the calling thread they report the suspension (reason 9) and every
// declared thread (the Linux runtime has each thread report itself instead), and refuse while
// another suspension runs. As in the runtime, ThreadAssignedToOSThread is reported in cooperative
// mode: a suspension waits for such a callback to return (10 s, then the test fails), and the
// callback waits for a suspension to end before it starts. SuspendForGc and ResumeAfterGc play
// a collection's suspension on the calling thread. SetProbe installs a function called (outside
// the lock) as each of DoStackSnapshot, SuspendRuntime and ResumeRuntime begins.
// Failures: Fail(op, hr) makes every call of op return hr until Succeed(op); FailNext(op, hr)
// only the next call(s). Every scripted operation is counted (CallCount), also when it fails.
// Operations without a script return E_NOTIMPL.
// Heap (TestRuntimeHeap.cpp): objects are zeroed memory the runtime owns, their ObjectID its
// address, so that a profiler reading a field reads what SetReference wrote there. Collect runs a
// whole collection on the calling thread (started, roots, moved and surviving ranges, finaliser
// queue, one ObjectReferences per object with its references in an unsorted order, finished);
// ForceGC runs the same with reason induced. As in the runtime, objects, roots and the finaliser
// queue are reported only under full collection monitoring (event mask bit 0x80), moved and
// surviving ranges also with the second word's moved-objects bit. DoStackSnapshot walks the stack
// SetStack gave the calling thread's managed thread, innermost frame first. Functions: AddFunction
// declares a function (module, method token, class) that GetFunctionInfo describes; RemoveFunction
// forgets it (E_INVALIDARG afterwards). Failures: Fail(op, hr) makes every call of op return hr
// until Succeed(op); FailNext(op, hr) only the next call(s). Every scripted operation is counted
// (CallCount), also when it fails. Operations without a script return E_NOTIMPL.
//
// Usable from several threads at once: all state sits behind one lock, and the driver never holds
// it while it calls the profiler (callbacks call back in, and the log asks GetCurrentThreadID on
// every line). The object lives as long as the test says; AddRef and Release only count, and a
// reference still held when it goes away fails the test.
//
// Extending it (classes, functions, enter/leave hooks, suspensions, exceptions, collections, stack
// snapshots):
// 1. Add an Operation for each information call that gets behaviour, and its name in
//    OperationName.
// 2. Move the method from the unscripted list (TestRuntimeUnscripted.cpp) to TestRuntime.cpp and
//    begin it with `if (HRESULT hr = Enter(Operation::X); FAILED(hr)) return hr;`, which counts
//    the call and applies injected failures.
// 3. Keep the scripted state in members guarded by m_Lock; give tests a declaring call (like
//    AddModule) and an accessor for what the profiler asked for (like EventMask).
// 4. Add driver calls as Notify* (one callback, result recorded) and, where the runtime always
//    runs several callbacks together, a sequence (like StartThreadHere). Copy what the callback
//    needs out of the state under m_Lock, release it, then call.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Util/ComRef.h"
#include "support/TestMetaDataImport.h"

class TestRuntime : public ICorProfilerInfo10 {
public:
    enum class Operation : unsigned {
        QueryInterface,
        GetEventMask,
        SetEventMask,
        GetCurrentThreadID,
        GetThreadInfo,
        GetHandleFromThread,
        GetModuleInfo,
        GetModuleMetaData,
        SetEnterLeaveFunctionHooks,
        SetEnterLeaveFunctionHooks2,
        SetFunctionIDMapper,
        GetFunctionInfo,
        IsArrayClass,
        GetClassIDInfo,
        GetClassIDInfo2,
        SetFunctionIDMapper2,
        SetEnterLeaveFunctionHooks3,
        DoStackSnapshot,
        SuspendRuntime,
        ResumeRuntime,
        ForceGC,
        GetObjectSize,
        GetClassLayout,
        GetBoxClassLayout,
        GetArrayObjectInfo,
        GetGenerationBounds,
        Count,
    };
    static const char* OperationName(Operation operation);

    struct Module {
        WString name;  // the full path the runtime reports; may be empty (a module without file)
        UINT_PTR baseAddress = 0;
        AssemblyID assemblyId = 0;
    };

    // The hooks the profiler installed (null where none).
    struct InstalledHooks {
        FunctionEnter* pEnter = nullptr;
        FunctionLeave* pLeave = nullptr;
        FunctionTailcall* pTailcall = nullptr;
        FunctionEnter2* pEnter2 = nullptr;
        FunctionLeave2* pLeave2 = nullptr;
        FunctionTailcall2* pTailcall2 = nullptr;
        FunctionEnter3* pEnter3 = nullptr;
        FunctionLeave3* pLeave3 = nullptr;
        FunctionTailcall3* pTailcall3 = nullptr;
        FunctionIDMapper* pMapper = nullptr;
        FunctionIDMapper2* pMapper2 = nullptr;
        void* pMapper2Data = nullptr;
    };

    // One callback the driver made and what the profiler answered.
    struct CallbackResult {
        const char* pName;
        HRESULT hr;
    };

    // Offers IUnknown and ICorProfilerInfo to ICorProfilerInfo10.
    TestRuntime();
    ~TestRuntime();

    TestRuntime(const TestRuntime&) = delete;
    TestRuntime& operator=(const TestRuntime&) = delete;

    // ---- Interfaces offered by QueryInterface
    // IUnknown and ICorProfilerInfo to ICorProfilerInfo<version>; 0 offers nothing at all.
    void OfferInfoUpTo(int version);
    // Stops offering one interface (e.g. ICorProfilerInfo2 alone).
    void Withhold(REFIID iid);
    // References handed out and not yet released.
    ULONG References() const { return m_References.load(); }

    // ---- Failure injection and call counts
    void Fail(Operation operation, HRESULT hr);
    void FailNext(Operation operation, HRESULT hr, unsigned times = 1);
    void Succeed(Operation operation);
    unsigned CallCount(Operation operation) const;

    // ---- What the profiler asked for
    DWORD EventMask() const;
    DWORD EventMaskHigh() const;
    InstalledHooks Hooks() const;

    // ---- Managed threads
    ThreadID AddThread();
    // GetCurrentThreadID on the calling OS thread answers the thread from now on.
    void BindToCurrentOSThread(ThreadID threadId);
    void UnbindCurrentOSThread();
    // The runtime forgets the thread: its id is unknown to every operation afterwards.
    void RemoveThread(ThreadID threadId);
    HANDLE HandleOf(ThreadID threadId) const;

    // ---- Modules
    ModuleID AddModule(const Module& module);
    void RemoveModule(ModuleID moduleId);

    // ---- Classes
    ClassID AddClass(ModuleID module, mdTypeDef token, ClassID parent = 0,
                     std::vector<ClassID> typeArgs = {});
    ClassID AddArrayClass(ClassID elementClass, ULONG rank,
                          CorElementType elementType = ELEMENT_TYPE_CLASS);
    // The runtime forgets the class: its id is unknown to every operation afterwards.
    void RemoveClass(ClassID classId);
    // The class stands for a type the runtime describes by no type definition (a pointer, say).
    void MakeComposite(ClassID classId);
    // Sets the parent after the fact, for classes that refer to each other (C derives from B<C>).
    void SetClassParent(ClassID classId, ClassID parent);

    // ---- Functions
    FunctionID AddFunction(ModuleID module, mdToken token, ClassID cls = 0);
    void RemoveFunction(FunctionID functionId);

    // ---- Stacks and suspensions
    void SetStack(ThreadID threadId, std::vector<FunctionID> innermostFirst);
    void SetOSThreadId(ThreadID threadId, DWORD osThreadId);
    void SetProbe(std::function<void(Operation)> probe);
    bool IsSuspendedByProfiler() const;
    // ---- Heap (TestRuntimeHeap.cpp)
    struct Root {
        ObjectID object;
        COR_PRF_GC_ROOT_KIND kind;
        COR_PRF_GC_ROOT_FLAGS flags;
        UINT_PTR rootId;
    };
    struct Range {
        ObjectID oldStart;  // moved ranges only
        ObjectID start;
        ULONG length;
    };
    // What one collection reports besides the objects and roots.
    struct Collection {
        std::vector<BOOL> collected{TRUE, FALSE, FALSE, FALSE};
        COR_PRF_GC_REASON reason = COR_PRF_GC_OTHER;
        std::vector<Range> moved;
        std::vector<Range> surviving;
        std::vector<std::pair<DWORD, ObjectID>> finalizable;  // flags, object
        // ObjectReferences for every object (the runtime does so under full monitoring).
        bool reportObjects = true;
    };
    // The fields the class itself declares, its size (for a value type the unboxed size) and,
    // for a value type, where its value starts inside a box.
    void SetClassLayout(ClassID classId, std::vector<COR_FIELD_OFFSET> fields, ULONG classSize,
                        ULONG32 boxOffset = sizeof(void*));
    // The module's metadata, declared on first use; the reference stays valid.
    TestMetaDataImport& MetaDataOf(ModuleID moduleId);
    ObjectID AddObject(ClassID classId, ULONG size);
    // A one- or more-dimensional array: elements after a two-pointer header, a size that counts
    // the pointer-wide header in front of the object id, as the runtime reports it.
    ObjectID AddArray(ClassID arrayClass, std::vector<ULONG32> lengths, ULONG elementSize,
                      std::vector<int> lowerBounds = {});
    BYTE* ArrayData(ObjectID array) const;
    // Writes the target's id into the object at the offset and adds it to the object's reported
    // references.
    void SetReference(ObjectID object, ULONG offset, ObjectID target);
    // Adds a reported reference that no field holds.
    void AddReportedReference(ObjectID object, ObjectID target);
    void AddRoot(const Root& root);
    void SetGenerationBounds(std::vector<COR_PRF_GC_GENERATION_RANGE> ranges);
    // The script ForceGC runs (its reason is always induced).
    void SetForcedCollection(const Collection& collection);
    unsigned CollectionCount() const;

    // ---- Driver: callbacks into the profiler
    // Keeps a reference on the profiler and calls Initialize with this runtime as IUnknown.
    HRESULT InitializeProfiler(ICorProfilerCallback2* pProfiler);
    // Calls Shutdown and drops the reference. Only once no other thread notifies any more.
    HRESULT ShutdownProfiler();
    HRESULT NotifyThreadCreated(ThreadID threadId);
    HRESULT NotifyThreadAssignedToOSThread(ThreadID threadId, DWORD osThreadId);
    HRESULT NotifyThreadNameChanged(ThreadID threadId, const WString& name);
    HRESULT NotifyThreadDestroyed(ThreadID threadId);
    HRESULT NotifyModuleLoadStarted(ModuleID moduleId);
    HRESULT NotifyModuleLoadFinished(ModuleID moduleId, HRESULT status);
    HRESULT NotifyObjectAllocated(ObjectID objectId, ClassID classId);
    // A whole collection on the calling thread.
    void Collect(const Collection& collection);

    // ---- Driver: sequences the runtime runs together
    // A new managed thread on the calling OS thread: created, bound, assigned, and named when a
    // name is given.
    ThreadID StartThreadHere(const WString& name = WString());
    // The thread ends on the calling OS thread: destroyed, unbound, forgotten.
    void EndThreadHere(ThreadID threadId);
    // Declared, then load started and load finished with `status`.
    ModuleID LoadModule(const Module& module, HRESULT status = S_OK);

    // ---- Driver: enter, leave and tailcall hooks
    // Calls the installed hook for the function through its raw pointer, as jitted code does: the
    // version-3 hook when one is installed, else the version-2 hook, else the old one (the runtime
    // uses only the newest set). Version-3 hooks get, and version-2 hooks get as client data, the
    // id the installed mapper returned for the function (asked once per function; the FunctionID
    // without a mapper or for a result of 0); a function the mapper declined is not hooked. Hooks
    // that jitted code calls directly (every hook on the 32-bit build, the version-3 hooks on
    // x86-64) are called through HookProbe: one that changes any register or leaves the stack
    // pointer elsewhere is recorded in HookFaults.
    void CallEnterHook(FunctionID functionId);
    void CallLeaveHook(FunctionID functionId);
    void CallTailcallHook(FunctionID functionId);
    std::vector<std::string> HookFaults() const;
    // x86-64: how many bytes of each of xmm0-xmm15 a version-3 hook must give back (16, 32 or
    // 64); the machine's full width unless set.
    void SetHookVectorBytes(unsigned bytes);
    // A collection suspends every declared thread with `reason` (once a profiler's suspension has
    // ended, as the runtime's lock makes it wait), and resumes them.
    void SuspendForGc(COR_PRF_SUSPEND_REASON reason = COR_PRF_SUSPEND_FOR_GC);
    void ResumeAfterGc();

    // Every callback made so far, in order, and those the profiler failed.
    std::vector<CallbackResult> CallbackResults() const;
    std::vector<CallbackResult> FailedCallbacks() const;

    // ---- IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ---- Scripted information operations
    HRESULT STDMETHODCALLTYPE GetEventMask(DWORD* pdwEvents) override;
    HRESULT STDMETHODCALLTYPE SetEventMask(DWORD dwEvents) override;
    // Both words; the first is EventMask's, the counts are GetEventMask's and SetEventMask's.
    HRESULT STDMETHODCALLTYPE GetEventMask2(DWORD* pdwEventsLow, DWORD* pdwEventsHigh) override;
    HRESULT STDMETHODCALLTYPE SetEventMask2(DWORD dwEventsLow, DWORD dwEventsHigh) override;
    HRESULT STDMETHODCALLTYPE GetCurrentThreadID(ThreadID* pThreadId) override;
    HRESULT STDMETHODCALLTYPE GetThreadInfo(ThreadID threadId, DWORD* pdwWin32ThreadId) override;
    HRESULT STDMETHODCALLTYPE GetHandleFromThread(ThreadID threadId, HANDLE* phThread) override;
    HRESULT STDMETHODCALLTYPE GetModuleInfo(ModuleID moduleId, LPCBYTE* ppBaseLoadAddress,
                                            ULONG cchName, ULONG* pcchName, WCHAR szName[],
                                            AssemblyID* pAssemblyId) override;
    HRESULT STDMETHODCALLTYPE GetModuleMetaData(ModuleID moduleId, DWORD dwOpenFlags, REFIID riid,
                                                IUnknown** ppOut) override;
    HRESULT STDMETHODCALLTYPE SetEnterLeaveFunctionHooks(FunctionEnter* pFuncEnter,
                                                         FunctionLeave* pFuncLeave,
                                                         FunctionTailcall* pFuncTailcall) override;
    HRESULT STDMETHODCALLTYPE
    SetEnterLeaveFunctionHooks2(FunctionEnter2* pFuncEnter, FunctionLeave2* pFuncLeave,
                                FunctionTailcall2* pFuncTailcall) override;
    HRESULT STDMETHODCALLTYPE SetFunctionIDMapper(FunctionIDMapper* pFunc) override;
    // ICorProfilerInfo3
    HRESULT STDMETHODCALLTYPE SetFunctionIDMapper2(FunctionIDMapper2* pFunc,
                                                   void* clientData) override;
    HRESULT STDMETHODCALLTYPE
    SetEnterLeaveFunctionHooks3(FunctionEnter3* pFuncEnter3, FunctionLeave3* pFuncLeave3,
                                FunctionTailcall3* pFuncTailcall3) override;
    HRESULT STDMETHODCALLTYPE GetFunctionInfo(FunctionID functionId, ClassID* pClassId,
                                              ModuleID* pModuleId, mdToken* pToken) override;
    HRESULT STDMETHODCALLTYPE IsArrayClass(ClassID classId, CorElementType* pBaseElemType,
                                           ClassID* pBaseClassId, ULONG* pcRank) override;
    HRESULT STDMETHODCALLTYPE GetClassIDInfo(ClassID classId, ModuleID* pModuleId,
                                             mdTypeDef* pTypeDefToken) override;
    HRESULT STDMETHODCALLTYPE GetClassIDInfo2(ClassID classId, ModuleID* pModuleId,
                                              mdTypeDef* pTypeDefToken, ClassID* pParentClassId,
                                              ULONG32 cNumTypeArgs, ULONG32* pcNumTypeArgs,
                                              ClassID typeArgs[]) override;
    HRESULT STDMETHODCALLTYPE DoStackSnapshot(ThreadID thread, StackSnapshotCallback* callback,
                                              ULONG32 infoFlags, void* clientData, BYTE context[],
                                              ULONG32 contextSize) override;
    HRESULT STDMETHODCALLTYPE SuspendRuntime() override;
    HRESULT STDMETHODCALLTYPE ResumeRuntime() override;

    // ---- Scripted heap operations (TestRuntimeHeap.cpp)
    HRESULT STDMETHODCALLTYPE ForceGC() override;
    HRESULT STDMETHODCALLTYPE GetObjectSize(ObjectID objectId, ULONG* pcSize) override;
    HRESULT STDMETHODCALLTYPE GetClassLayout(ClassID classID, COR_FIELD_OFFSET rFieldOffset[],
                                             ULONG cFieldOffset, ULONG* pcFieldOffset,
                                             ULONG* pulClassSize) override;
    HRESULT STDMETHODCALLTYPE GetBoxClassLayout(ClassID classId, ULONG32* pBufferOffset) override;
    HRESULT STDMETHODCALLTYPE GetArrayObjectInfo(ObjectID objectId, ULONG32 cDimensions,
                                                 ULONG32 pDimensionSizes[],
                                                 int pDimensionLowerBounds[],
                                                 BYTE** ppData) override;
    HRESULT STDMETHODCALLTYPE GetGenerationBounds(ULONG cObjectRanges, ULONG* pcObjectRanges,
                                                  COR_PRF_GC_GENERATION_RANGE ranges[]) override;

    // ---- Unscripted: E_NOTIMPL (TestRuntimeUnscripted.cpp)
    // ICorProfilerInfo
    HRESULT STDMETHODCALLTYPE GetClassFromObject(ObjectID objectId, ClassID* pClassId) override;
    HRESULT STDMETHODCALLTYPE GetClassFromToken(ModuleID moduleId, mdTypeDef typeDef,
                                                ClassID* pClassId) override;
    HRESULT STDMETHODCALLTYPE GetCodeInfo(FunctionID functionId, LPCBYTE* pStart,
                                          ULONG* pcSize) override;
    HRESULT STDMETHODCALLTYPE GetFunctionFromIP(LPCBYTE ip, FunctionID* pFunctionId) override;
    HRESULT STDMETHODCALLTYPE GetFunctionFromToken(ModuleID moduleId, mdToken token,
                                                   FunctionID* pFunctionId) override;
    HRESULT STDMETHODCALLTYPE GetTokenAndMetaDataFromFunction(FunctionID functionId, REFIID riid,
                                                              IUnknown** ppImport,
                                                              mdToken* pToken) override;
    HRESULT STDMETHODCALLTYPE GetILFunctionBody(ModuleID moduleId, mdMethodDef methodId,
                                                LPCBYTE* ppMethodHeader,
                                                ULONG* pcbMethodSize) override;
    HRESULT STDMETHODCALLTYPE GetILFunctionBodyAllocator(ModuleID moduleId,
                                                         IMethodMalloc** ppMalloc) override;
    HRESULT STDMETHODCALLTYPE SetILFunctionBody(ModuleID moduleId, mdMethodDef methodid,
                                                LPCBYTE pbNewILMethodHeader) override;
    HRESULT STDMETHODCALLTYPE GetAppDomainInfo(AppDomainID appDomainId, ULONG cchName,
                                               ULONG* pcchName, WCHAR szName[],
                                               ProcessID* pProcessId) override;
    HRESULT STDMETHODCALLTYPE GetAssemblyInfo(AssemblyID assemblyId, ULONG cchName, ULONG* pcchName,
                                              WCHAR szName[], AppDomainID* pAppDomainId,
                                              ModuleID* pModuleId) override;
    HRESULT STDMETHODCALLTYPE SetFunctionReJIT(FunctionID functionId) override;
    HRESULT STDMETHODCALLTYPE SetILInstrumentedCodeMap(FunctionID functionId, BOOL fStartJit,
                                                       ULONG cILMapEntries,
                                                       COR_IL_MAP rgILMapEntries[]) override;
    HRESULT STDMETHODCALLTYPE GetInprocInspectionInterface(IUnknown** ppicd) override;
    HRESULT STDMETHODCALLTYPE GetInprocInspectionIThisThread(IUnknown** ppicd) override;
    HRESULT STDMETHODCALLTYPE GetThreadContext(ThreadID threadId, ContextID* pContextId) override;
    HRESULT STDMETHODCALLTYPE BeginInprocDebugging(BOOL fThisThreadOnly,
                                                   DWORD* pdwProfilerContext) override;
    HRESULT STDMETHODCALLTYPE EndInprocDebugging(DWORD dwProfilerContext) override;
    HRESULT STDMETHODCALLTYPE GetILToNativeMapping(FunctionID functionId, ULONG32 cMap,
                                                   ULONG32* pcMap,
                                                   COR_DEBUG_IL_TO_NATIVE_MAP map[]) override;
    // ICorProfilerInfo2
    HRESULT STDMETHODCALLTYPE GetFunctionInfo2(FunctionID funcId, COR_PRF_FRAME_INFO frameInfo,
                                               ClassID* pClassId, ModuleID* pModuleId,
                                               mdToken* pToken, ULONG32 cTypeArgs,
                                               ULONG32* pcTypeArgs, ClassID typeArgs[]) override;
    HRESULT STDMETHODCALLTYPE GetStringLayout(ULONG* pBufferLengthOffset,
                                              ULONG* pStringLengthOffset,
                                              ULONG* pBufferOffset) override;
    HRESULT STDMETHODCALLTYPE GetCodeInfo2(FunctionID functionID, ULONG32 cCodeInfos,
                                           ULONG32* pcCodeInfos,
                                           COR_PRF_CODE_INFO codeInfos[]) override;
    HRESULT STDMETHODCALLTYPE GetClassFromTokenAndTypeArgs(ModuleID moduleID, mdTypeDef typeDef,
                                                           ULONG32 cTypeArgs, ClassID typeArgs[],
                                                           ClassID* pClassID) override;
    HRESULT STDMETHODCALLTYPE GetFunctionFromTokenAndTypeArgs(ModuleID moduleID,
                                                              mdMethodDef funcDef, ClassID classId,
                                                              ULONG32 cTypeArgs, ClassID typeArgs[],
                                                              FunctionID* pFunctionID) override;
    HRESULT STDMETHODCALLTYPE EnumModuleFrozenObjects(ModuleID moduleID,
                                                      ICorProfilerObjectEnum** ppEnum) override;
    HRESULT STDMETHODCALLTYPE GetThreadAppDomain(ThreadID threadId,
                                                 AppDomainID* pAppDomainId) override;
    HRESULT STDMETHODCALLTYPE GetRVAStaticAddress(ClassID classId, mdFieldDef fieldToken,
                                                  void** ppAddress) override;
    HRESULT STDMETHODCALLTYPE GetAppDomainStaticAddress(ClassID classId, mdFieldDef fieldToken,
                                                        AppDomainID appDomainId,
                                                        void** ppAddress) override;
    HRESULT STDMETHODCALLTYPE GetThreadStaticAddress(ClassID classId, mdFieldDef fieldToken,
                                                     ThreadID threadId, void** ppAddress) override;
    HRESULT STDMETHODCALLTYPE GetContextStaticAddress(ClassID classId, mdFieldDef fieldToken,
                                                      ContextID contextId,
                                                      void** ppAddress) override;
    HRESULT STDMETHODCALLTYPE GetStaticFieldInfo(ClassID classId, mdFieldDef fieldToken,
                                                 COR_PRF_STATIC_TYPE* pFieldInfo) override;
    HRESULT STDMETHODCALLTYPE GetObjectGeneration(ObjectID objectId,
                                                  COR_PRF_GC_GENERATION_RANGE* range) override;
    HRESULT STDMETHODCALLTYPE
    GetNotifiedExceptionClauseInfo(COR_PRF_EX_CLAUSE_INFO* pinfo) override;
    // ICorProfilerInfo3
    HRESULT STDMETHODCALLTYPE EnumJITedFunctions(ICorProfilerFunctionEnum** ppEnum) override;
    HRESULT STDMETHODCALLTYPE
    RequestProfilerDetach(DWORD dwExpectedCompletionMilliseconds) override;
    HRESULT STDMETHODCALLTYPE GetStringLayout2(ULONG* pStringLengthOffset,
                                               ULONG* pBufferOffset) override;
    HRESULT STDMETHODCALLTYPE SetEnterLeaveFunctionHooks3WithInfo(
        FunctionEnter3WithInfo* pFuncEnter3WithInfo, FunctionLeave3WithInfo* pFuncLeave3WithInfo,
        FunctionTailcall3WithInfo* pFuncTailcall3WithInfo) override;
    HRESULT STDMETHODCALLTYPE GetFunctionEnter3Info(
        FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo,
        ULONG* pcbArgumentInfo, COR_PRF_FUNCTION_ARGUMENT_INFO* pArgumentInfo) override;
    HRESULT STDMETHODCALLTYPE GetFunctionLeave3Info(
        FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo,
        COR_PRF_FUNCTION_ARGUMENT_RANGE* pRetvalRange) override;
    HRESULT STDMETHODCALLTYPE GetFunctionTailcall3Info(FunctionID functionId,
                                                       COR_PRF_ELT_INFO eltInfo,
                                                       COR_PRF_FRAME_INFO* pFrameInfo) override;
    HRESULT STDMETHODCALLTYPE EnumModules(ICorProfilerModuleEnum** ppEnum) override;
    HRESULT STDMETHODCALLTYPE GetRuntimeInformation(
        USHORT* pClrInstanceId, COR_PRF_RUNTIME_TYPE* pRuntimeType, USHORT* pMajorVersion,
        USHORT* pMinorVersion, USHORT* pBuildNumber, USHORT* pQFEVersion, ULONG cchVersionString,
        ULONG* pcchVersionString, WCHAR szVersionString[]) override;
    HRESULT STDMETHODCALLTYPE GetThreadStaticAddress2(ClassID classId, mdFieldDef fieldToken,
                                                      AppDomainID appDomainId, ThreadID threadId,
                                                      void** ppAddress) override;
    HRESULT STDMETHODCALLTYPE GetAppDomainsContainingModule(ModuleID moduleId,
                                                            ULONG32 cAppDomainIds,
                                                            ULONG32* pcAppDomainIds,
                                                            AppDomainID appDomainIds[]) override;
    HRESULT STDMETHODCALLTYPE GetModuleInfo2(ModuleID moduleId, LPCBYTE* ppBaseLoadAddress,
                                             ULONG cchName, ULONG* pcchName, WCHAR szName[],
                                             AssemblyID* pAssemblyId,
                                             DWORD* pdwModuleFlags) override;
    // ICorProfilerInfo4
    HRESULT STDMETHODCALLTYPE EnumThreads(ICorProfilerThreadEnum** ppEnum) override;
    HRESULT STDMETHODCALLTYPE InitializeCurrentThread() override;
    HRESULT STDMETHODCALLTYPE RequestReJIT(ULONG cFunctions, ModuleID moduleIds[],
                                           mdMethodDef methodIds[]) override;
    HRESULT STDMETHODCALLTYPE RequestRevert(ULONG cFunctions, ModuleID moduleIds[],
                                            mdMethodDef methodIds[], HRESULT status[]) override;
    HRESULT STDMETHODCALLTYPE GetCodeInfo3(FunctionID functionID, ReJITID reJitId,
                                           ULONG32 cCodeInfos, ULONG32* pcCodeInfos,
                                           COR_PRF_CODE_INFO codeInfos[]) override;
    HRESULT STDMETHODCALLTYPE GetFunctionFromIP2(LPCBYTE ip, FunctionID* pFunctionId,
                                                 ReJITID* pReJitId) override;
    HRESULT STDMETHODCALLTYPE GetReJITIDs(FunctionID functionId, ULONG cReJitIds, ULONG* pcReJitIds,
                                          ReJITID reJitIds[]) override;
    HRESULT STDMETHODCALLTYPE GetILToNativeMapping2(FunctionID functionId, ReJITID reJitId,
                                                    ULONG32 cMap, ULONG32* pcMap,
                                                    COR_DEBUG_IL_TO_NATIVE_MAP map[]) override;
    HRESULT STDMETHODCALLTYPE EnumJITedFunctions2(ICorProfilerFunctionEnum** ppEnum) override;
    HRESULT STDMETHODCALLTYPE GetObjectSize2(ObjectID objectId, SIZE_T* pcSize) override;
    // ICorProfilerInfo5
    // ICorProfilerInfo6
    HRESULT STDMETHODCALLTYPE EnumNgenModuleMethodsInliningThisMethod(
        ModuleID inlinersModuleId, ModuleID inlineeModuleId, mdMethodDef inlineeMethodId,
        BOOL* incompleteData, ICorProfilerMethodEnum** ppEnum) override;
    // ICorProfilerInfo7
    HRESULT STDMETHODCALLTYPE ApplyMetaData(ModuleID moduleId) override;
    HRESULT STDMETHODCALLTYPE GetInMemorySymbolsLength(ModuleID moduleId,
                                                       DWORD* pCountSymbolBytes) override;
    HRESULT STDMETHODCALLTYPE ReadInMemorySymbols(ModuleID moduleId, DWORD symbolsReadOffset,
                                                  BYTE* pSymbolBytes, DWORD countSymbolBytes,
                                                  DWORD* pCountSymbolBytesRead) override;
    // ICorProfilerInfo8
    HRESULT STDMETHODCALLTYPE IsFunctionDynamic(FunctionID functionId, BOOL* isDynamic) override;
    HRESULT STDMETHODCALLTYPE GetFunctionFromIP3(LPCBYTE ip, FunctionID* functionId,
                                                 ReJITID* pReJitId) override;
    HRESULT STDMETHODCALLTYPE GetDynamicFunctionInfo(FunctionID functionId, ModuleID* moduleId,
                                                     PCCOR_SIGNATURE* ppvSig, ULONG* pbSig,
                                                     ULONG cchName, ULONG* pcchName,
                                                     WCHAR wszName[]) override;
    // ICorProfilerInfo9
    HRESULT STDMETHODCALLTYPE GetNativeCodeStartAddresses(FunctionID functionID, ReJITID reJitId,
                                                          ULONG32 cCodeStartAddresses,
                                                          ULONG32* pcCodeStartAddresses,
                                                          UINT_PTR codeStartAddresses[]) override;
    HRESULT STDMETHODCALLTYPE GetILToNativeMapping3(UINT_PTR pNativeCodeStartAddress, ULONG32 cMap,
                                                    ULONG32* pcMap,
                                                    COR_DEBUG_IL_TO_NATIVE_MAP map[]) override;
    HRESULT STDMETHODCALLTYPE GetCodeInfo4(UINT_PTR pNativeCodeStartAddress, ULONG32 cCodeInfos,
                                           ULONG32* pcCodeInfos,
                                           COR_PRF_CODE_INFO codeInfos[]) override;
    // ICorProfilerInfo10
    HRESULT STDMETHODCALLTYPE EnumerateObjectReferences(ObjectID objectId,
                                                        ObjectReferenceCallback callback,
                                                        void* clientData) override;
    HRESULT STDMETHODCALLTYPE IsFrozenObject(ObjectID objectId, BOOL* pbFrozen) override;
    HRESULT STDMETHODCALLTYPE GetLOHObjectSizeThreshold(DWORD* pThreshold) override;
    HRESULT STDMETHODCALLTYPE RequestReJITWithInliners(DWORD dwRejitFlags, ULONG cFunctions,
                                                       ModuleID moduleIds[],
                                                       mdMethodDef methodIds[]) override;

protected:
    // Counts the call and answers an injected failure, or S_OK to go on.
    HRESULT Enter(Operation operation);

    struct ThreadState {
        DWORD osThreadId = 0;  // 0 while not bound
        HANDLE handle = nullptr;
        std::vector<FunctionID> stack;  // innermost first
    };

    struct ClassState {
        ModuleID module = 0;
        mdTypeDef token = 0;
        ClassID parent = 0;
        std::vector<ClassID> typeArgs;
        bool composite = false;
        // Arrays only.
        bool array = false;
        ClassID elementClass = 0;
        CorElementType elementType = ELEMENT_TYPE_END;
        ULONG rank = 0;
    };

    struct FunctionState {
        ModuleID module = 0;
        mdToken token = 0;
        ClassID cls = 0;
    };

    struct ObjectState {
        ClassID classId = 0;
        ULONG size = 0;
        std::vector<UINT_PTR> memory;  // never resized once made: the ObjectID is its address
        std::vector<ObjectID> references;
        std::vector<ULONG32> lengths;  // arrays only
        std::vector<int> lowerBounds;
    };

    struct LayoutState {
        std::vector<COR_FIELD_OFFSET> fields;
        ULONG classSize = 0;
        ULONG32 boxOffset = 0;
    };

    struct Injection {
        HRESULT hr = S_OK;
        unsigned remaining = 0;  // calls left to fail; ignored when persistent
        bool persistent = false;
    };

    static constexpr size_t OPERATION_COUNT = static_cast<size_t>(Operation::Count);

    enum class HookKind { Enter, Leave, Tailcall };
    void CallHook(HookKind kind, FunctionID functionId);
    // The id the mapper gave the function (asked on first use), empty when it declined.
    std::optional<UINT_PTR> ClientIdOf(FunctionID functionId, const InstalledHooks& hooks);
    template <class Hook, class... Args>
    void InvokeHook(Hook* pHook, Args... args);
    template <class Hook>
    void InvokeFastPathHook(Hook* pHook, HookKind kind, FunctionIDOrClientID id);
    void AddHookFaults(std::string faults);

    // Calls `call` on the held profiler (outside m_Lock) and records the result under `pName`.
    template <class Call>
    HRESULT Notify(const char* pName, Call&& call);

    std::atomic<ULONG> m_References{0};

    // Guards every member below. Taken briefly by every information call and driver call, from
    // any thread; never held while the profiler is called.
    mutable std::mutex m_Lock;
    std::vector<IID> m_Offered;
    std::array<Injection, OPERATION_COUNT> m_Injections{};
    std::array<unsigned, OPERATION_COUNT> m_CallCounts{};
    DWORD m_EventMask = 0;
    DWORD m_EventMaskHigh = 0;
    InstalledHooks m_Hooks;
    size_t m_ThreadsMade = 0;
    std::map<ThreadID, ThreadState> m_Threads;
    std::map<DWORD, ThreadID> m_BoundOSThreads;  // OS thread id -> managed thread
    size_t m_ModulesMade = 0;
    std::map<ModuleID, Module> m_Modules;
    size_t m_ClassesMade = 0;
    std::map<ClassID, ClassState> m_Classes;
    size_t m_FunctionsMade = 0;
    std::map<FunctionID, FunctionState> m_Functions;
    std::map<FunctionID, std::optional<UINT_PTR>> m_ClientIds;
    std::vector<std::string> m_HookFaults;
    unsigned m_HookVectorBytes;
    std::map<ModuleID, std::unique_ptr<TestMetaDataImport>> m_MetaData;
    std::map<ClassID, LayoutState> m_Layouts;
    std::map<ObjectID, ObjectState> m_Objects;
    std::vector<Root> m_Roots;
    std::vector<COR_PRF_GC_GENERATION_RANGE> m_GenerationBounds;
    Collection m_ForcedCollection;
    unsigned m_Collections = 0;
    ComRef<ICorProfilerCallback2> m_pProfiler;
    std::vector<CallbackResult> m_CallbackResults;
    bool m_SuspendedByProfiler = false;
    unsigned m_CooperativeCallbacks = 0;
    // Signalled when a suspension ends or a cooperative callback returns.
    std::condition_variable m_StateChanged;
    bool m_SuspendedForGc = false;
    std::function<void(Operation)> m_Probe;

private:
    // The suspension callbacks of one suspension or resumption, on the calling thread, when the
    // profiler asked for suspension events.
    void ReportSuspension(COR_PRF_SUSPEND_REASON reason);
    void ReportResumption();
    void RunProbe(Operation operation);
};

template <class Call>
HRESULT TestRuntime::Notify(const char* pName, Call&& call) {
    ICorProfilerCallback2* pProfiler;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        pProfiler = m_pProfiler.Get();
    }
    HRESULT hr = pProfiler == nullptr ? E_UNEXPECTED : call(*pProfiler);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_CallbackResults.push_back(CallbackResult{pName, hr});
    return hr;
}
