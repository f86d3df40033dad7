// Proves that our interface declarations put every method in its published vtable slot, that the
// interface identifiers carry the published bytes, and that the structures the runtime fills in
// have the published widths and offsets. The slot tables and identifiers are transcribed from the
// runtime's published definitions; the recording classes list their methods alphabetically, so
// their own order proves nothing.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "Platform/Cor/CorMetaData.h"
#include "Platform/Cor/CorProfiler.h"
#include "WinCE/IPALProfilerHost.h"
#include "WinCE/IPALThreads.h"
#include "WinCE/IPALTools.h"
#include "support/RecordingMetaDataImport.h"
#include "support/SlotRecorder.h"

namespace {

class RecordingCallback3 final : public ICorProfilerCallback3, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    QV_RECORD(HRESULT, AppDomainCreationFinished, (AppDomainID, HRESULT))
    QV_RECORD(HRESULT, AppDomainCreationStarted, (AppDomainID))
    QV_RECORD(HRESULT, AppDomainShutdownFinished, (AppDomainID, HRESULT))
    QV_RECORD(HRESULT, AppDomainShutdownStarted, (AppDomainID))
    QV_RECORD(HRESULT, AssemblyLoadFinished, (AssemblyID, HRESULT))
    QV_RECORD(HRESULT, AssemblyLoadStarted, (AssemblyID))
    QV_RECORD(HRESULT, AssemblyUnloadFinished, (AssemblyID, HRESULT))
    QV_RECORD(HRESULT, AssemblyUnloadStarted, (AssemblyID))
    QV_RECORD(HRESULT, COMClassicVTableCreated, (ClassID, REFGUID, void*, ULONG))
    QV_RECORD(HRESULT, COMClassicVTableDestroyed, (ClassID, REFGUID, void*))
    QV_RECORD(HRESULT, ClassLoadFinished, (ClassID, HRESULT))
    QV_RECORD(HRESULT, ClassLoadStarted, (ClassID))
    QV_RECORD(HRESULT, ClassUnloadFinished, (ClassID, HRESULT))
    QV_RECORD(HRESULT, ClassUnloadStarted, (ClassID))
    QV_RECORD(HRESULT, ExceptionCLRCatcherExecute, ())
    QV_RECORD(HRESULT, ExceptionCLRCatcherFound, ())
    QV_RECORD(HRESULT, ExceptionCatcherEnter, (FunctionID, ObjectID))
    QV_RECORD(HRESULT, ExceptionCatcherLeave, ())
    QV_RECORD(HRESULT, ExceptionOSHandlerEnter, (UINT_PTR))
    QV_RECORD(HRESULT, ExceptionOSHandlerLeave, (UINT_PTR))
    QV_RECORD(HRESULT, ExceptionSearchCatcherFound, (FunctionID))
    QV_RECORD(HRESULT, ExceptionSearchFilterEnter, (FunctionID))
    QV_RECORD(HRESULT, ExceptionSearchFilterLeave, ())
    QV_RECORD(HRESULT, ExceptionSearchFunctionEnter, (FunctionID))
    QV_RECORD(HRESULT, ExceptionSearchFunctionLeave, ())
    QV_RECORD(HRESULT, ExceptionThrown, (ObjectID))
    QV_RECORD(HRESULT, ExceptionUnwindFinallyEnter, (FunctionID))
    QV_RECORD(HRESULT, ExceptionUnwindFinallyLeave, ())
    QV_RECORD(HRESULT, ExceptionUnwindFunctionEnter, (FunctionID))
    QV_RECORD(HRESULT, ExceptionUnwindFunctionLeave, ())
    QV_RECORD(HRESULT, FinalizeableObjectQueued, (DWORD, ObjectID))
    QV_RECORD(HRESULT, FunctionUnloadStarted, (FunctionID))
    QV_RECORD(HRESULT, GarbageCollectionFinished, ())
    QV_RECORD(HRESULT, GarbageCollectionStarted, (int, BOOL[], COR_PRF_GC_REASON))
    QV_RECORD(HRESULT, HandleCreated, (GCHandleID, ObjectID))
    QV_RECORD(HRESULT, HandleDestroyed, (GCHandleID))
    QV_RECORD(HRESULT, Initialize, (IUnknown*))
    QV_RECORD(HRESULT, InitializeForAttach, (IUnknown*, void*, UINT))
    QV_RECORD(HRESULT, JITCachedFunctionSearchFinished, (FunctionID, COR_PRF_JIT_CACHE))
    QV_RECORD(HRESULT, JITCachedFunctionSearchStarted, (FunctionID, BOOL*))
    QV_RECORD(HRESULT, JITCompilationFinished, (FunctionID, HRESULT, BOOL))
    QV_RECORD(HRESULT, JITCompilationStarted, (FunctionID, BOOL))
    QV_RECORD(HRESULT, JITFunctionPitched, (FunctionID))
    QV_RECORD(HRESULT, JITInlining, (FunctionID, FunctionID, BOOL*))
    QV_RECORD(HRESULT, ManagedToUnmanagedTransition, (FunctionID, COR_PRF_TRANSITION_REASON))
    QV_RECORD(HRESULT, ModuleAttachedToAssembly, (ModuleID, AssemblyID))
    QV_RECORD(HRESULT, ModuleLoadFinished, (ModuleID, HRESULT))
    QV_RECORD(HRESULT, ModuleLoadStarted, (ModuleID))
    QV_RECORD(HRESULT, ModuleUnloadFinished, (ModuleID, HRESULT))
    QV_RECORD(HRESULT, ModuleUnloadStarted, (ModuleID))
    QV_RECORD(HRESULT, MovedReferences, (ULONG, ObjectID[], ObjectID[], ULONG[]))
    QV_RECORD(HRESULT, ObjectAllocated, (ObjectID, ClassID))
    QV_RECORD(HRESULT, ObjectReferences, (ObjectID, ClassID, ULONG, ObjectID[]))
    QV_RECORD(HRESULT, ObjectsAllocatedByClass, (ULONG, ClassID[], ULONG[]))
    QV_RECORD(HRESULT, ProfilerAttachComplete, ())
    QV_RECORD(HRESULT, ProfilerDetachSucceeded, ())
    QV_RECORD(HRESULT, RemotingClientInvocationFinished, ())
    QV_RECORD(HRESULT, RemotingClientInvocationStarted, ())
    QV_RECORD(HRESULT, RemotingClientReceivingReply, (GUID*, BOOL))
    QV_RECORD(HRESULT, RemotingClientSendingMessage, (GUID*, BOOL))
    QV_RECORD(HRESULT, RemotingServerInvocationReturned, ())
    QV_RECORD(HRESULT, RemotingServerInvocationStarted, ())
    QV_RECORD(HRESULT, RemotingServerReceivingMessage, (GUID*, BOOL))
    QV_RECORD(HRESULT, RemotingServerSendingReply, (GUID*, BOOL))
    QV_RECORD(HRESULT, RootReferences, (ULONG, ObjectID[]))
    QV_RECORD(HRESULT, RootReferences2,
              (ULONG, ObjectID[], COR_PRF_GC_ROOT_KIND[], COR_PRF_GC_ROOT_FLAGS[], UINT_PTR[]))
    QV_RECORD(HRESULT, RuntimeResumeFinished, ())
    QV_RECORD(HRESULT, RuntimeResumeStarted, ())
    QV_RECORD(HRESULT, RuntimeSuspendAborted, ())
    QV_RECORD(HRESULT, RuntimeSuspendFinished, ())
    QV_RECORD(HRESULT, RuntimeSuspendStarted, (COR_PRF_SUSPEND_REASON))
    QV_RECORD(HRESULT, RuntimeThreadResumed, (ThreadID))
    QV_RECORD(HRESULT, RuntimeThreadSuspended, (ThreadID))
    QV_RECORD(HRESULT, Shutdown, ())
    QV_RECORD(HRESULT, SurvivingReferences, (ULONG, ObjectID[], ULONG[]))
    QV_RECORD(HRESULT, ThreadAssignedToOSThread, (ThreadID, DWORD))
    QV_RECORD(HRESULT, ThreadCreated, (ThreadID))
    QV_RECORD(HRESULT, ThreadDestroyed, (ThreadID))
    QV_RECORD(HRESULT, ThreadNameChanged, (ThreadID, ULONG, WCHAR[]))
    QV_RECORD(HRESULT, UnmanagedToManagedTransition, (FunctionID, COR_PRF_TRANSITION_REASON))
};

class RecordingInfo10 final : public ICorProfilerInfo10, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    QV_RECORD(HRESULT, ApplyMetaData, (ModuleID))
    QV_RECORD(HRESULT, BeginInprocDebugging, (BOOL, DWORD*))
    QV_RECORD(HRESULT, DoStackSnapshot,
              (ThreadID, StackSnapshotCallback*, ULONG32, void*, BYTE[], ULONG32))
    QV_RECORD(HRESULT, EndInprocDebugging, (DWORD))
    QV_RECORD(HRESULT, EnumJITedFunctions, (ICorProfilerFunctionEnum**))
    QV_RECORD(HRESULT, EnumJITedFunctions2, (ICorProfilerFunctionEnum**))
    QV_RECORD(HRESULT, EnumModuleFrozenObjects, (ModuleID, ICorProfilerObjectEnum**))
    QV_RECORD(HRESULT, EnumModules, (ICorProfilerModuleEnum**))
    QV_RECORD(HRESULT, EnumNgenModuleMethodsInliningThisMethod,
              (ModuleID, ModuleID, mdMethodDef, BOOL*, ICorProfilerMethodEnum**))
    QV_RECORD(HRESULT, EnumThreads, (ICorProfilerThreadEnum**))
    QV_RECORD(HRESULT, EnumerateObjectReferences, (ObjectID, ObjectReferenceCallback, void*))
    QV_RECORD(HRESULT, ForceGC, ())
    QV_RECORD(HRESULT, GetAppDomainInfo, (AppDomainID, ULONG, ULONG*, WCHAR[], ProcessID*))
    QV_RECORD(HRESULT, GetAppDomainStaticAddress, (ClassID, mdFieldDef, AppDomainID, void**))
    QV_RECORD(HRESULT, GetAppDomainsContainingModule, (ModuleID, ULONG32, ULONG32*, AppDomainID[]))
    QV_RECORD(HRESULT, GetArrayObjectInfo, (ObjectID, ULONG32, ULONG32[], int[], BYTE**))
    QV_RECORD(HRESULT, GetAssemblyInfo,
              (AssemblyID, ULONG, ULONG*, WCHAR[], AppDomainID*, ModuleID*))
    QV_RECORD(HRESULT, GetBoxClassLayout, (ClassID, ULONG32*))
    QV_RECORD(HRESULT, GetClassFromObject, (ObjectID, ClassID*))
    QV_RECORD(HRESULT, GetClassFromToken, (ModuleID, mdTypeDef, ClassID*))
    QV_RECORD(HRESULT, GetClassFromTokenAndTypeArgs,
              (ModuleID, mdTypeDef, ULONG32, ClassID[], ClassID*))
    QV_RECORD(HRESULT, GetClassIDInfo, (ClassID, ModuleID*, mdTypeDef*))
    QV_RECORD(HRESULT, GetClassIDInfo2,
              (ClassID, ModuleID*, mdTypeDef*, ClassID*, ULONG32, ULONG32*, ClassID[]))
    QV_RECORD(HRESULT, GetClassLayout, (ClassID, COR_FIELD_OFFSET[], ULONG, ULONG*, ULONG*))
    QV_RECORD(HRESULT, GetCodeInfo, (FunctionID, LPCBYTE*, ULONG*))
    QV_RECORD(HRESULT, GetCodeInfo2, (FunctionID, ULONG32, ULONG32*, COR_PRF_CODE_INFO[]))
    QV_RECORD(HRESULT, GetCodeInfo3, (FunctionID, ReJITID, ULONG32, ULONG32*, COR_PRF_CODE_INFO[]))
    QV_RECORD(HRESULT, GetCodeInfo4, (UINT_PTR, ULONG32, ULONG32*, COR_PRF_CODE_INFO[]))
    QV_RECORD(HRESULT, GetContextStaticAddress, (ClassID, mdFieldDef, ContextID, void**))
    QV_RECORD(HRESULT, GetCurrentThreadID, (ThreadID*))
    QV_RECORD(HRESULT, GetDynamicFunctionInfo,
              (FunctionID, ModuleID*, PCCOR_SIGNATURE*, ULONG*, ULONG, ULONG*, WCHAR[]))
    QV_RECORD(HRESULT, GetEventMask, (DWORD*))
    QV_RECORD(HRESULT, GetEventMask2, (DWORD*, DWORD*))
    QV_RECORD(HRESULT, GetFunctionEnter3Info,
              (FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*, ULONG*,
               COR_PRF_FUNCTION_ARGUMENT_INFO*))
    QV_RECORD(HRESULT, GetFunctionFromIP, (LPCBYTE, FunctionID*))
    QV_RECORD(HRESULT, GetFunctionFromIP2, (LPCBYTE, FunctionID*, ReJITID*))
    QV_RECORD(HRESULT, GetFunctionFromIP3, (LPCBYTE, FunctionID*, ReJITID*))
    QV_RECORD(HRESULT, GetFunctionFromToken, (ModuleID, mdToken, FunctionID*))
    QV_RECORD(HRESULT, GetFunctionFromTokenAndTypeArgs,
              (ModuleID, mdMethodDef, ClassID, ULONG32, ClassID[], FunctionID*))
    QV_RECORD(HRESULT, GetFunctionInfo, (FunctionID, ClassID*, ModuleID*, mdToken*))
    QV_RECORD(HRESULT, GetFunctionInfo2,
              (FunctionID, COR_PRF_FRAME_INFO, ClassID*, ModuleID*, mdToken*, ULONG32, ULONG32*,
               ClassID[]))
    QV_RECORD(HRESULT, GetFunctionLeave3Info,
              (FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*, COR_PRF_FUNCTION_ARGUMENT_RANGE*))
    QV_RECORD(HRESULT, GetFunctionTailcall3Info,
              (FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*))
    QV_RECORD(HRESULT, GetGenerationBounds, (ULONG, ULONG*, COR_PRF_GC_GENERATION_RANGE[]))
    QV_RECORD(HRESULT, GetHandleFromThread, (ThreadID, HANDLE*))
    QV_RECORD(HRESULT, GetILFunctionBody, (ModuleID, mdMethodDef, LPCBYTE*, ULONG*))
    QV_RECORD(HRESULT, GetILFunctionBodyAllocator, (ModuleID, IMethodMalloc**))
    QV_RECORD(HRESULT, GetILToNativeMapping,
              (FunctionID, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[]))
    QV_RECORD(HRESULT, GetILToNativeMapping2,
              (FunctionID, ReJITID, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[]))
    QV_RECORD(HRESULT, GetILToNativeMapping3,
              (UINT_PTR, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[]))
    QV_RECORD(HRESULT, GetInMemorySymbolsLength, (ModuleID, DWORD*))
    QV_RECORD(HRESULT, GetInprocInspectionIThisThread, (IUnknown**))
    QV_RECORD(HRESULT, GetInprocInspectionInterface, (IUnknown**))
    QV_RECORD(HRESULT, GetLOHObjectSizeThreshold, (DWORD*))
    QV_RECORD(HRESULT, GetModuleInfo, (ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR[], AssemblyID*))
    QV_RECORD(HRESULT, GetModuleInfo2,
              (ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR[], AssemblyID*, DWORD*))
    QV_RECORD(HRESULT, GetModuleMetaData, (ModuleID, DWORD, REFIID, IUnknown**))
    QV_RECORD(HRESULT, GetNativeCodeStartAddresses,
              (FunctionID, ReJITID, ULONG32, ULONG32*, UINT_PTR[]))
    QV_RECORD(HRESULT, GetNotifiedExceptionClauseInfo, (COR_PRF_EX_CLAUSE_INFO*))
    QV_RECORD(HRESULT, GetObjectGeneration, (ObjectID, COR_PRF_GC_GENERATION_RANGE*))
    QV_RECORD(HRESULT, GetObjectSize, (ObjectID, ULONG*))
    QV_RECORD(HRESULT, GetObjectSize2, (ObjectID, SIZE_T*))
    QV_RECORD(HRESULT, GetRVAStaticAddress, (ClassID, mdFieldDef, void**))
    QV_RECORD(HRESULT, GetReJITIDs, (FunctionID, ULONG, ULONG*, ReJITID[]))
    QV_RECORD(HRESULT, GetRuntimeInformation,
              (USHORT*, COR_PRF_RUNTIME_TYPE*, USHORT*, USHORT*, USHORT*, USHORT*, ULONG, ULONG*,
               WCHAR[]))
    QV_RECORD(HRESULT, GetStaticFieldInfo, (ClassID, mdFieldDef, COR_PRF_STATIC_TYPE*))
    QV_RECORD(HRESULT, GetStringLayout, (ULONG*, ULONG*, ULONG*))
    QV_RECORD(HRESULT, GetStringLayout2, (ULONG*, ULONG*))
    QV_RECORD(HRESULT, GetThreadAppDomain, (ThreadID, AppDomainID*))
    QV_RECORD(HRESULT, GetThreadContext, (ThreadID, ContextID*))
    QV_RECORD(HRESULT, GetThreadInfo, (ThreadID, DWORD*))
    QV_RECORD(HRESULT, GetThreadStaticAddress, (ClassID, mdFieldDef, ThreadID, void**))
    QV_RECORD(HRESULT, GetThreadStaticAddress2,
              (ClassID, mdFieldDef, AppDomainID, ThreadID, void**))
    QV_RECORD(HRESULT, GetTokenAndMetaDataFromFunction, (FunctionID, REFIID, IUnknown**, mdToken*))
    QV_RECORD(HRESULT, InitializeCurrentThread, ())
    QV_RECORD(HRESULT, IsArrayClass, (ClassID, CorElementType*, ClassID*, ULONG*))
    QV_RECORD(HRESULT, IsFrozenObject, (ObjectID, BOOL*))
    QV_RECORD(HRESULT, IsFunctionDynamic, (FunctionID, BOOL*))
    QV_RECORD(HRESULT, ReadInMemorySymbols, (ModuleID, DWORD, BYTE*, DWORD, DWORD*))
    QV_RECORD(HRESULT, RequestProfilerDetach, (DWORD))
    QV_RECORD(HRESULT, RequestReJIT, (ULONG, ModuleID[], mdMethodDef[]))
    QV_RECORD(HRESULT, RequestReJITWithInliners, (DWORD, ULONG, ModuleID[], mdMethodDef[]))
    QV_RECORD(HRESULT, RequestRevert, (ULONG, ModuleID[], mdMethodDef[], HRESULT[]))
    QV_RECORD(HRESULT, ResumeRuntime, ())
    QV_RECORD(HRESULT, SetEnterLeaveFunctionHooks,
              (FunctionEnter*, FunctionLeave*, FunctionTailcall*))
    QV_RECORD(HRESULT, SetEnterLeaveFunctionHooks2,
              (FunctionEnter2*, FunctionLeave2*, FunctionTailcall2*))
    QV_RECORD(HRESULT, SetEnterLeaveFunctionHooks3,
              (FunctionEnter3*, FunctionLeave3*, FunctionTailcall3*))
    QV_RECORD(HRESULT, SetEnterLeaveFunctionHooks3WithInfo,
              (FunctionEnter3WithInfo*, FunctionLeave3WithInfo*, FunctionTailcall3WithInfo*))
    QV_RECORD(HRESULT, SetEventMask, (DWORD))
    QV_RECORD(HRESULT, SetEventMask2, (DWORD, DWORD))
    QV_RECORD(HRESULT, SetFunctionIDMapper, (FunctionIDMapper*))
    QV_RECORD(HRESULT, SetFunctionIDMapper2, (FunctionIDMapper2*, void*))
    QV_RECORD(HRESULT, SetFunctionReJIT, (FunctionID))
    QV_RECORD(HRESULT, SetILFunctionBody, (ModuleID, mdMethodDef, LPCBYTE))
    QV_RECORD(HRESULT, SetILInstrumentedCodeMap, (FunctionID, BOOL, ULONG, COR_IL_MAP[]))
    QV_RECORD(HRESULT, SuspendRuntime, ())
};

class RecordingClassFactory final : public IClassFactory, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    QV_RECORD(HRESULT, CreateInstance, (IUnknown*, REFIID, void**))
    QV_RECORD(HRESULT, LockServer, (BOOL))
};

class RecordingPALThreads final : public IPALThreads, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    QV_RECORD(HRESULT, CloseThread, (PALThreadHandle))
    QV_RECORD(HRESULT, CreateThread, (PALThreadProc, void*, DWORD, DWORD, PALThreadHandle*))
    QV_RECORD(HRESULT, GetThreadId, (PALThreadHandle, DWORD*))
    QV_RECORD(HRESULT, Sleep, (DWORD))
    QV_RECORD(HRESULT, StartThread, (PALThreadHandle))
    QV_RECORD(HRESULT, WaitForThread, (PALThreadHandle, DWORD))
};

class RecordingPALTools final : public IPALTools, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    QV_RECORD(HRESULT, CloseStream, (PALStreamHandle))
    QV_RECORD(HRESULT, Read, (PALStreamHandle, void*, DWORD, DWORD*))
    QV_RECORD(HRESULT, StartService, (LPCWSTR, DWORD, PALServiceProc, DWORD, void*))
    QV_RECORD(HRESULT, Write, (PALStreamHandle, const void*, DWORD))
};

class RecordingPALProfilerHost final : public IPALProfilerHost, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    QV_RECORD(HRESULT, SetProfilerCallback, (ICorProfilerCallback2*))
};

// Published slots, transcribed from the runtime's definitions.
// clang-format off
const PublishedSlot kCallback3Slots[] = {
    {0, "QueryInterface"}, {1, "AddRef"}, {2, "Release"}, {3, "Initialize"}, {4, "Shutdown"},
    {5, "AppDomainCreationStarted"}, {6, "AppDomainCreationFinished"},
    {7, "AppDomainShutdownStarted"}, {8, "AppDomainShutdownFinished"}, {9, "AssemblyLoadStarted"},
    {10, "AssemblyLoadFinished"}, {11, "AssemblyUnloadStarted"}, {12, "AssemblyUnloadFinished"},
    {13, "ModuleLoadStarted"}, {14, "ModuleLoadFinished"}, {15, "ModuleUnloadStarted"},
    {16, "ModuleUnloadFinished"}, {17, "ModuleAttachedToAssembly"}, {18, "ClassLoadStarted"},
    {19, "ClassLoadFinished"}, {20, "ClassUnloadStarted"}, {21, "ClassUnloadFinished"},
    {22, "FunctionUnloadStarted"}, {23, "JITCompilationStarted"}, {24, "JITCompilationFinished"},
    {25, "JITCachedFunctionSearchStarted"}, {26, "JITCachedFunctionSearchFinished"},
    {27, "JITFunctionPitched"}, {28, "JITInlining"}, {29, "ThreadCreated"},
    {30, "ThreadDestroyed"}, {31, "ThreadAssignedToOSThread"},
    {32, "RemotingClientInvocationStarted"}, {33, "RemotingClientSendingMessage"},
    {34, "RemotingClientReceivingReply"}, {35, "RemotingClientInvocationFinished"},
    {36, "RemotingServerReceivingMessage"}, {37, "RemotingServerInvocationStarted"},
    {38, "RemotingServerInvocationReturned"}, {39, "RemotingServerSendingReply"},
    {40, "UnmanagedToManagedTransition"}, {41, "ManagedToUnmanagedTransition"},
    {42, "RuntimeSuspendStarted"}, {43, "RuntimeSuspendFinished"}, {44, "RuntimeSuspendAborted"},
    {45, "RuntimeResumeStarted"}, {46, "RuntimeResumeFinished"}, {47, "RuntimeThreadSuspended"},
    {48, "RuntimeThreadResumed"}, {49, "MovedReferences"}, {50, "ObjectAllocated"},
    {51, "ObjectsAllocatedByClass"}, {52, "ObjectReferences"}, {53, "RootReferences"},
    {54, "ExceptionThrown"}, {55, "ExceptionSearchFunctionEnter"},
    {56, "ExceptionSearchFunctionLeave"}, {57, "ExceptionSearchFilterEnter"},
    {58, "ExceptionSearchFilterLeave"}, {59, "ExceptionSearchCatcherFound"},
    {60, "ExceptionOSHandlerEnter"}, {61, "ExceptionOSHandlerLeave"},
    {62, "ExceptionUnwindFunctionEnter"}, {63, "ExceptionUnwindFunctionLeave"},
    {64, "ExceptionUnwindFinallyEnter"}, {65, "ExceptionUnwindFinallyLeave"},
    {66, "ExceptionCatcherEnter"}, {67, "ExceptionCatcherLeave"}, {68, "COMClassicVTableCreated"},
    {69, "COMClassicVTableDestroyed"}, {70, "ExceptionCLRCatcherFound"},
    {71, "ExceptionCLRCatcherExecute"}, {72, "ThreadNameChanged"},
    {73, "GarbageCollectionStarted"}, {74, "SurvivingReferences"},
    {75, "GarbageCollectionFinished"}, {76, "FinalizeableObjectQueued"}, {77, "RootReferences2"},
    {78, "HandleCreated"}, {79, "HandleDestroyed"}, {80, "InitializeForAttach"},
    {81, "ProfilerAttachComplete"}, {82, "ProfilerDetachSucceeded"},
};
// clang-format on

// clang-format off
const PublishedSlot kInfo10Slots[] = {
    {0, "QueryInterface"}, {1, "AddRef"}, {2, "Release"}, {3, "GetClassFromObject"},
    {4, "GetClassFromToken"}, {5, "GetCodeInfo"}, {6, "GetEventMask"}, {7, "GetFunctionFromIP"},
    {8, "GetFunctionFromToken"}, {9, "GetHandleFromThread"}, {10, "GetObjectSize"},
    {11, "IsArrayClass"}, {12, "GetThreadInfo"}, {13, "GetCurrentThreadID"},
    {14, "GetClassIDInfo"}, {15, "GetFunctionInfo"}, {16, "SetEventMask"},
    {17, "SetEnterLeaveFunctionHooks"}, {18, "SetFunctionIDMapper"},
    {19, "GetTokenAndMetaDataFromFunction"}, {20, "GetModuleInfo"}, {21, "GetModuleMetaData"},
    {22, "GetILFunctionBody"}, {23, "GetILFunctionBodyAllocator"}, {24, "SetILFunctionBody"},
    {25, "GetAppDomainInfo"}, {26, "GetAssemblyInfo"}, {27, "SetFunctionReJIT"}, {28, "ForceGC"},
    {29, "SetILInstrumentedCodeMap"}, {30, "GetInprocInspectionInterface"},
    {31, "GetInprocInspectionIThisThread"}, {32, "GetThreadContext"}, {33, "BeginInprocDebugging"},
    {34, "EndInprocDebugging"}, {35, "GetILToNativeMapping"}, {36, "DoStackSnapshot"},
    {37, "SetEnterLeaveFunctionHooks2"}, {38, "GetFunctionInfo2"}, {39, "GetStringLayout"},
    {40, "GetClassLayout"}, {41, "GetClassIDInfo2"}, {42, "GetCodeInfo2"},
    {43, "GetClassFromTokenAndTypeArgs"}, {44, "GetFunctionFromTokenAndTypeArgs"},
    {45, "EnumModuleFrozenObjects"}, {46, "GetArrayObjectInfo"}, {47, "GetBoxClassLayout"},
    {48, "GetThreadAppDomain"}, {49, "GetRVAStaticAddress"}, {50, "GetAppDomainStaticAddress"},
    {51, "GetThreadStaticAddress"}, {52, "GetContextStaticAddress"}, {53, "GetStaticFieldInfo"},
    {54, "GetGenerationBounds"}, {55, "GetObjectGeneration"},
    {56, "GetNotifiedExceptionClauseInfo"}, {57, "EnumJITedFunctions"},
    {58, "RequestProfilerDetach"}, {59, "SetFunctionIDMapper2"}, {60, "GetStringLayout2"},
    {61, "SetEnterLeaveFunctionHooks3"}, {62, "SetEnterLeaveFunctionHooks3WithInfo"},
    {63, "GetFunctionEnter3Info"}, {64, "GetFunctionLeave3Info"}, {65, "GetFunctionTailcall3Info"},
    {66, "EnumModules"}, {67, "GetRuntimeInformation"}, {68, "GetThreadStaticAddress2"},
    {69, "GetAppDomainsContainingModule"}, {70, "GetModuleInfo2"}, {71, "EnumThreads"},
    {72, "InitializeCurrentThread"}, {73, "RequestReJIT"}, {74, "RequestRevert"},
    {75, "GetCodeInfo3"}, {76, "GetFunctionFromIP2"}, {77, "GetReJITIDs"},
    {78, "GetILToNativeMapping2"}, {79, "EnumJITedFunctions2"}, {80, "GetObjectSize2"},
    {81, "GetEventMask2"}, {82, "SetEventMask2"}, {83, "EnumNgenModuleMethodsInliningThisMethod"},
    {84, "ApplyMetaData"}, {85, "GetInMemorySymbolsLength"}, {86, "ReadInMemorySymbols"},
    {87, "IsFunctionDynamic"}, {88, "GetFunctionFromIP3"}, {89, "GetDynamicFunctionInfo"},
    {90, "GetNativeCodeStartAddresses"}, {91, "GetILToNativeMapping3"}, {92, "GetCodeInfo4"},
    {93, "EnumerateObjectReferences"}, {94, "IsFrozenObject"}, {95, "GetLOHObjectSizeThreshold"},
    {96, "RequestReJITWithInliners"}, {97, "SuspendRuntime"}, {98, "ResumeRuntime"},
};
// clang-format on

// clang-format off
const PublishedSlot kMetaDataImportSlots[] = {
    {0, "QueryInterface"}, {1, "AddRef"}, {2, "Release"}, {3, "CloseEnum"}, {4, "CountEnum"},
    {5, "ResetEnum"}, {6, "EnumTypeDefs"}, {7, "EnumInterfaceImpls"}, {8, "EnumTypeRefs"},
    {9, "FindTypeDefByName"}, {10, "GetScopeProps"}, {11, "GetModuleFromScope"},
    {12, "GetTypeDefProps"}, {13, "GetInterfaceImplProps"}, {14, "GetTypeRefProps"},
    {15, "ResolveTypeRef"}, {16, "EnumMembers"}, {17, "EnumMembersWithName"}, {18, "EnumMethods"},
    {19, "EnumMethodsWithName"}, {20, "EnumFields"}, {21, "EnumFieldsWithName"},
    {22, "EnumParams"}, {23, "EnumMemberRefs"}, {24, "EnumMethodImpls"},
    {25, "EnumPermissionSets"}, {26, "FindMember"}, {27, "FindMethod"}, {28, "FindField"},
    {29, "FindMemberRef"}, {30, "GetMethodProps"}, {31, "GetMemberRefProps"},
    {32, "EnumProperties"}, {33, "EnumEvents"}, {34, "GetEventProps"}, {35, "EnumMethodSemantics"},
    {36, "GetMethodSemantics"}, {37, "GetClassLayout"}, {38, "GetFieldMarshal"}, {39, "GetRVA"},
    {40, "GetPermissionSetProps"}, {41, "GetSigFromToken"}, {42, "GetModuleRefProps"},
    {43, "EnumModuleRefs"}, {44, "GetTypeSpecFromToken"}, {45, "GetNameFromToken"},
    {46, "EnumUnresolvedMethods"}, {47, "GetUserString"}, {48, "GetPinvokeMap"},
    {49, "EnumSignatures"}, {50, "EnumTypeSpecs"}, {51, "EnumUserStrings"},
    {52, "GetParamForMethodIndex"}, {53, "EnumCustomAttributes"}, {54, "GetCustomAttributeProps"},
    {55, "FindTypeRef"}, {56, "GetMemberProps"}, {57, "GetFieldProps"}, {58, "GetPropertyProps"},
    {59, "GetParamProps"}, {60, "GetCustomAttributeByName"}, {61, "IsValidToken"},
    {62, "GetNestedClassProps"}, {63, "GetNativeCallConvFromSig"}, {64, "IsGlobal"},
};
// clang-format on

// The 16 bytes of a GUID in memory, from its registry form "{8-4-4-4-12}": the first three
// groups little-endian, the last two byte by byte.
void GuidBytesFromText(const char* pText, BYTE bytes[16]) {
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    ASSERT_EQ(11, std::sscanf(pText, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3,
                              &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]))
        << pText;
    const unsigned little[8] = {d1, d1 >> 8, d1 >> 16, d1 >> 24, d2, d2 >> 8, d3, d3 >> 8};
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<BYTE>(little[i]);
        bytes[8 + i] = static_cast<BYTE>(b[i]);
    }
}

}  // namespace

TEST(SlotOrder, ProfilerCallbackThroughVersion3) {
    RecordingCallback3 recorder;
    ExpectSlotOrder(static_cast<ICorProfilerCallback3*>(&recorder), &recorder, kCallback3Slots);
}

TEST(SlotOrder, ProfilerInfoThroughVersion10) {
    RecordingInfo10 recorder;
    ExpectSlotOrder(static_cast<ICorProfilerInfo10*>(&recorder), &recorder, kInfo10Slots);
}

TEST(SlotOrder, MetaDataImport) {
    RecordingMetaDataImport recorder;
    ExpectSlotOrder(static_cast<IMetaDataImport*>(&recorder), &recorder, kMetaDataImportSlots);
}

TEST(SlotOrder, ClassFactoryAndHostInterfaces) {
    RecordingClassFactory factory;
    ExpectSlotOrder(static_cast<IClassFactory*>(&factory), &factory,
                    {{0, "QueryInterface"},
                     {1, "AddRef"},
                     {2, "Release"},
                     {3, "CreateInstance"},
                     {4, "LockServer"}});
    RecordingPALThreads threads;
    ExpectSlotOrder(static_cast<IPALThreads*>(&threads), &threads,
                    {{0, "QueryInterface"},
                     {1, "AddRef"},
                     {2, "Release"},
                     {3, "CreateThread"},
                     {4, "StartThread"},
                     {5, "CloseThread"},
                     {6, "Sleep"},
                     {7, "GetThreadId"},
                     {8, "WaitForThread"}});
    RecordingPALTools tools;
    ExpectSlotOrder(static_cast<IPALTools*>(&tools), &tools,
                    {{0, "QueryInterface"},
                     {1, "AddRef"},
                     {2, "Release"},
                     {3, "StartService"},
                     {4, "Write"},
                     {5, "Read"},
                     {6, "CloseStream"}});
    RecordingPALProfilerHost host;
    ExpectSlotOrder(
        static_cast<IPALProfilerHost*>(&host), &host,
        {{0, "QueryInterface"}, {1, "AddRef"}, {2, "Release"}, {3, "SetProfilerCallback"}});
}

TEST(SlotOrder, CheckFailsOnAMisplacedMethod) {
    // Read and Write swapped: the check must report both slots, or it proves nothing.
    RecordingPALTools tools;
    const PublishedSlot swapped[] = {{0, "QueryInterface"}, {1, "AddRef"}, {2, "Release"},
                                     {3, "StartService"},   {4, "Read"},   {5, "Write"},
                                     {6, "CloseStream"}};
    testing::TestPartResultArray failures;
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        ExpectSlotOrder(static_cast<IPALTools*>(&tools), &tools, swapped);
    }
    EXPECT_EQ(2, failures.size());
}

TEST(InterfaceIds, MatchTheirRegistryForms) {
    struct Row {
        const IID& iid;
        const char* pText;
    };
    const Row rows[] = {
        {IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
        {IID_IClassFactory, "{00000001-0000-0000-C000-000000000046}"},
        {IID_ICorProfilerCallback, "{176FBED1-A55C-4796-98CA-A9DA0EF883E7}"},
        {IID_ICorProfilerCallback2, "{8A8CC829-CCF2-49FE-BBAE-0F022228071A}"},
        {IID_ICorProfilerCallback3, "{4FD2ED52-7731-4B8D-9469-03D2CC3086C5}"},
        {IID_ICorProfilerCallback4, "{7B63B2E3-107D-4D48-B2F6-F61E229470D2}"},
        {IID_ICorProfilerCallback5, "{8DFBA405-8C9F-45F8-BFFA-83B14CEF78B5}"},
        {IID_ICorProfilerCallback6, "{FC13DF4B-4448-4F4F-950C-BA8D19D00C36}"},
        {IID_ICorProfilerCallback7, "{F76A2DBA-1D52-4539-866C-2AA518F9EFC3}"},
        {IID_ICorProfilerCallback8, "{5BED9B15-C079-4D47-BFE2-215A140C07E0}"},
        {IID_ICorProfilerCallback9, "{27583EC3-C8F5-482F-8052-194B8CE4705A}"},
        {IID_ICorProfilerCallback10, "{CEC5B60E-C69C-495F-87F6-84D28EE16FFB}"},
        {IID_ICorProfilerCallback11, "{42350846-AAED-47F7-B128-FD0C98881CDE}"},
        {IID_ICorProfilerInfo, "{28B5557D-3F3F-48B4-90B2-5F9EEA2F6C48}"},
        {IID_ICorProfilerInfo2, "{CC0935CD-A518-487D-B0BB-A93214E65478}"},
        {IID_ICorProfilerInfo3, "{B555ED4F-452A-4E54-8B39-B5360BAD32A0}"},
        {IID_ICorProfilerInfo4, "{0D8FDCAA-6257-47BF-B1BF-94DAC88466EE}"},
        {IID_ICorProfilerInfo5, "{07602928-CE38-4B83-81E7-74ADAF781214}"},
        {IID_ICorProfilerInfo6, "{F30A070D-BFFB-46A7-B1D8-8781EF7B698A}"},
        {IID_ICorProfilerInfo7, "{9AEECC0D-63E0-4187-8C00-E312F503F663}"},
        {IID_ICorProfilerInfo8, "{C5AC80A6-782E-4716-8044-39598C60CFBF}"},
        {IID_ICorProfilerInfo9, "{008170DB-F8CC-4796-9A51-DC8AA0B47012}"},
        {IID_ICorProfilerInfo10, "{2F1B5152-C869-40C9-AA5F-3ABE026BD720}"},
        {IID_ICorProfilerInfo11, "{06398876-8987-4154-B621-40A00D6E4D04}"},
        {IID_ICorProfilerInfo12, "{27B24CCD-1CB1-47C5-96EE-98190DC30959}"},
        {IID_ICorProfilerThreadEnum, "{571194F7-25ED-419F-AA8B-7016B3159701}"},
        {IID_ICorProfilerModuleEnum, "{B0266D75-2081-4493-AF7F-028BA34DB891}"},
        {IID_ICorProfilerFunctionEnum, "{FF71301A-B994-429D-A10B-B345A65280EF}"},
        {IID_ICorProfilerObjectEnum, "{2C6269BD-2D13-4321-AE12-6686365FD6AF}"},
        {IID_ICorProfilerMethodEnum, "{FCCEE788-0088-454B-A811-C99F298D1942}"},
        {IID_IMethodMalloc, "{A0EFB28B-6EE2-4D7B-B983-A75EF7BEEDB8}"},
        {IID_ICorProfilerFunctionControl, "{F0963021-E1EA-4732-8581-E01B0BD3C0C6}"},
        {IID_IMetaDataImport, "{7DAC8207-D3AE-4C75-9B67-92801A497D44}"},
        {IID_IMetaDataImport2, "{FCE5EFA0-8BBA-4F8E-A036-8F2022B08466}"},
        {IID_IMetaDataAssemblyImport, "{EE62470B-E94B-424E-9B7C-2F00C9249F93}"},
        {IID_IPALThreads, "{64AF23A2-3CF5-4B1B-8B20-6F60EED636FF}"},
        {IID_IPALTools, "{6A421153-6705-43CF-A438-F77FF4B90336}"},
        {IID_IPALProfilerHost, "{8B746C77-A1C2-4C79-91E6-3FCA13322A73}"},
    };
    // The text conversion itself, against bytes written by hand in memory order.
    const BYTE callback2[16] = {0x29, 0xC8, 0x8C, 0x8A, 0xF2, 0xCC, 0xFE, 0x49,
                                0xBB, 0xAE, 0x0F, 0x02, 0x22, 0x28, 0x07, 0x1A};
    BYTE converted[16];
    GuidBytesFromText("{8A8CC829-CCF2-49FE-BBAE-0F022228071A}", converted);
    EXPECT_EQ(0, std::memcmp(callback2, converted, 16));
    for (const Row& row : rows) {
        BYTE expected[16];
        GuidBytesFromText(row.pText, expected);
        EXPECT_EQ(0, std::memcmp(expected, &row.iid, 16)) << row.pText;
    }
}

TEST(RuntimeTypes, HaveThePublishedWidthsAndOffsets) {
    constexpr size_t kWord = sizeof(void*);
    EXPECT_EQ(4u, sizeof(ULONG));
    EXPECT_EQ(4u, sizeof(DWORD));
    EXPECT_EQ(4u, sizeof(BOOL));
    EXPECT_EQ(4u, sizeof(HRESULT));
    EXPECT_EQ(2u, sizeof(WCHAR));
    EXPECT_EQ(4u, sizeof(mdToken));
    EXPECT_EQ(kWord, sizeof(UINT_PTR));
    EXPECT_EQ(kWord, sizeof(ObjectID));
    EXPECT_EQ(kWord, sizeof(HCORENUM));
    // Enumerations travel as 4-byte values and array elements.
    EXPECT_EQ(4u, sizeof(CorElementType));
    EXPECT_EQ(4u, sizeof(COR_PRF_GC_ROOT_KIND));
    EXPECT_EQ(4u, sizeof(COR_PRF_GC_ROOT_FLAGS));
    EXPECT_EQ(4u, sizeof(COR_PRF_MONITOR));

    EXPECT_EQ(0u, offsetof(COR_PRF_GC_GENERATION_RANGE, generation));
    EXPECT_EQ(kWord, offsetof(COR_PRF_GC_GENERATION_RANGE, rangeStart));
    EXPECT_EQ(2 * kWord, offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLength));
    EXPECT_EQ(3 * kWord, offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLengthReserved));
    EXPECT_EQ(4 * kWord, sizeof(COR_PRF_GC_GENERATION_RANGE));
    EXPECT_EQ(kWord, offsetof(COR_PRF_FUNCTION_ARGUMENT_RANGE, length));
    EXPECT_EQ(2 * kWord, sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE));
    EXPECT_EQ(8u, offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, ranges));
    EXPECT_EQ(4u, offsetof(COR_FIELD_OFFSET, ulOffset));
    EXPECT_EQ(8u, sizeof(COR_FIELD_OFFSET));
    EXPECT_EQ(2 * kWord, sizeof(COR_PRF_CODE_INFO));
    EXPECT_EQ(12u, sizeof(COR_DEBUG_IL_TO_NATIVE_MAP));
    EXPECT_EQ(12u, sizeof(COR_IL_MAP));
    EXPECT_EQ(3 * kWord, offsetof(COR_PRF_EX_CLAUSE_INFO, shadowStackPointer));
    EXPECT_EQ(4 * kWord, sizeof(COR_PRF_EX_CLAUSE_INFO));
    EXPECT_EQ(kWord, offsetof(COR_PRF_METHOD, methodId));
    EXPECT_EQ(2 * kWord, sizeof(COR_PRF_METHOD));
}
