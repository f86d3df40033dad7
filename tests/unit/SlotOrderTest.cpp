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

#define H(Name, ...) QV_RECORD(HRESULT, Name, (__VA_ARGS__))

// Rows numbered by position, so a missing or extra name shifts every later slot and fails.
template <size_t N>
struct SlotTable {
    PublishedSlot rows[N];
};
template <size_t N>
SlotTable<N> Slots(const char* const (&names)[N]) {
    SlotTable<N> table{};
    for (size_t i = 0; i < N; ++i) {
        table.rows[i] = {i, names[i]};
    }
    return table;
}

// clang-format off
class RecordingCallback3 final : public ICorProfilerCallback3, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    H(AppDomainCreationFinished, AppDomainID, HRESULT) H(AppDomainCreationStarted, AppDomainID)
    H(AppDomainShutdownFinished, AppDomainID, HRESULT) H(AppDomainShutdownStarted, AppDomainID)
    H(AssemblyLoadFinished, AssemblyID, HRESULT) H(AssemblyLoadStarted, AssemblyID)
    H(AssemblyUnloadFinished, AssemblyID, HRESULT) H(AssemblyUnloadStarted, AssemblyID)
    H(COMClassicVTableCreated, ClassID, REFGUID, void*, ULONG)
    H(COMClassicVTableDestroyed, ClassID, REFGUID, void*) H(ClassLoadFinished, ClassID, HRESULT)
    H(ClassLoadStarted, ClassID) H(ClassUnloadFinished, ClassID, HRESULT)
    H(ClassUnloadStarted, ClassID) H(ExceptionCLRCatcherExecute) H(ExceptionCLRCatcherFound)
    H(ExceptionCatcherEnter, FunctionID, ObjectID) H(ExceptionCatcherLeave)
    H(ExceptionOSHandlerEnter, UINT_PTR) H(ExceptionOSHandlerLeave, UINT_PTR)
    H(ExceptionSearchCatcherFound, FunctionID) H(ExceptionSearchFilterEnter, FunctionID)
    H(ExceptionSearchFilterLeave) H(ExceptionSearchFunctionEnter, FunctionID)
    H(ExceptionSearchFunctionLeave) H(ExceptionThrown, ObjectID)
    H(ExceptionUnwindFinallyEnter, FunctionID) H(ExceptionUnwindFinallyLeave)
    H(ExceptionUnwindFunctionEnter, FunctionID) H(ExceptionUnwindFunctionLeave)
    H(FinalizeableObjectQueued, DWORD, ObjectID) H(FunctionUnloadStarted, FunctionID)
    H(GarbageCollectionFinished) H(GarbageCollectionStarted, int, BOOL[], COR_PRF_GC_REASON)
    H(HandleCreated, GCHandleID, ObjectID) H(HandleDestroyed, GCHandleID) H(Initialize, IUnknown*)
    H(InitializeForAttach, IUnknown*, void*, UINT)
    H(JITCachedFunctionSearchFinished, FunctionID, COR_PRF_JIT_CACHE)
    H(JITCachedFunctionSearchStarted, FunctionID, BOOL*)
    H(JITCompilationFinished, FunctionID, HRESULT, BOOL) H(JITCompilationStarted, FunctionID, BOOL)
    H(JITFunctionPitched, FunctionID) H(JITInlining, FunctionID, FunctionID, BOOL*)
    H(ManagedToUnmanagedTransition, FunctionID, COR_PRF_TRANSITION_REASON)
    H(ModuleAttachedToAssembly, ModuleID, AssemblyID) H(ModuleLoadFinished, ModuleID, HRESULT)
    H(ModuleLoadStarted, ModuleID) H(ModuleUnloadFinished, ModuleID, HRESULT)
    H(ModuleUnloadStarted, ModuleID) H(MovedReferences, ULONG, ObjectID[], ObjectID[], ULONG[])
    H(ObjectAllocated, ObjectID, ClassID) H(ObjectReferences, ObjectID, ClassID, ULONG, ObjectID[])
    H(ObjectsAllocatedByClass, ULONG, ClassID[], ULONG[]) H(ProfilerAttachComplete)
    H(ProfilerDetachSucceeded) H(RemotingClientInvocationFinished)
    H(RemotingClientInvocationStarted) H(RemotingClientReceivingReply, GUID*, BOOL)
    H(RemotingClientSendingMessage, GUID*, BOOL) H(RemotingServerInvocationReturned)
    H(RemotingServerInvocationStarted) H(RemotingServerReceivingMessage, GUID*, BOOL)
    H(RemotingServerSendingReply, GUID*, BOOL) H(RootReferences, ULONG, ObjectID[])
    H(RootReferences2, ULONG, ObjectID[], COR_PRF_GC_ROOT_KIND[], COR_PRF_GC_ROOT_FLAGS[],
        UINT_PTR[])
    H(RuntimeResumeFinished) H(RuntimeResumeStarted) H(RuntimeSuspendAborted)
    H(RuntimeSuspendFinished) H(RuntimeSuspendStarted, COR_PRF_SUSPEND_REASON)
    H(RuntimeThreadResumed, ThreadID) H(RuntimeThreadSuspended, ThreadID) H(Shutdown)
    H(SurvivingReferences, ULONG, ObjectID[], ULONG[]) H(ThreadAssignedToOSThread, ThreadID, DWORD)
    H(ThreadCreated, ThreadID) H(ThreadDestroyed, ThreadID)
    H(ThreadNameChanged, ThreadID, ULONG, WCHAR[])
    H(UnmanagedToManagedTransition, FunctionID, COR_PRF_TRANSITION_REASON)
};

class RecordingInfo10 final : public ICorProfilerInfo10, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    H(ApplyMetaData, ModuleID) H(BeginInprocDebugging, BOOL, DWORD*)
    H(DoStackSnapshot, ThreadID, StackSnapshotCallback*, ULONG32, void*, BYTE[], ULONG32)
    H(EndInprocDebugging, DWORD) H(EnumJITedFunctions, ICorProfilerFunctionEnum**)
    H(EnumJITedFunctions2, ICorProfilerFunctionEnum**)
    H(EnumModuleFrozenObjects, ModuleID, ICorProfilerObjectEnum**)
    H(EnumModules, ICorProfilerModuleEnum**)
    H(EnumNgenModuleMethodsInliningThisMethod, ModuleID, ModuleID, mdMethodDef, BOOL*,
        ICorProfilerMethodEnum**)
    H(EnumThreads, ICorProfilerThreadEnum**)
    H(EnumerateObjectReferences, ObjectID, ObjectReferenceCallback, void*) H(ForceGC)
    H(GetAppDomainInfo, AppDomainID, ULONG, ULONG*, WCHAR[], ProcessID*)
    H(GetAppDomainStaticAddress, ClassID, mdFieldDef, AppDomainID, void**)
    H(GetAppDomainsContainingModule, ModuleID, ULONG32, ULONG32*, AppDomainID[])
    H(GetArrayObjectInfo, ObjectID, ULONG32, ULONG32[], int[], BYTE**)
    H(GetAssemblyInfo, AssemblyID, ULONG, ULONG*, WCHAR[], AppDomainID*, ModuleID*)
    H(GetBoxClassLayout, ClassID, ULONG32*) H(GetClassFromObject, ObjectID, ClassID*)
    H(GetClassFromToken, ModuleID, mdTypeDef, ClassID*)
    H(GetClassFromTokenAndTypeArgs, ModuleID, mdTypeDef, ULONG32, ClassID[], ClassID*)
    H(GetClassIDInfo, ClassID, ModuleID*, mdTypeDef*)
    H(GetClassIDInfo2, ClassID, ModuleID*, mdTypeDef*, ClassID*, ULONG32, ULONG32*, ClassID[])
    H(GetClassLayout, ClassID, COR_FIELD_OFFSET[], ULONG, ULONG*, ULONG*)
    H(GetCodeInfo, FunctionID, LPCBYTE*, ULONG*)
    H(GetCodeInfo2, FunctionID, ULONG32, ULONG32*, COR_PRF_CODE_INFO[])
    H(GetCodeInfo3, FunctionID, ReJITID, ULONG32, ULONG32*, COR_PRF_CODE_INFO[])
    H(GetCodeInfo4, UINT_PTR, ULONG32, ULONG32*, COR_PRF_CODE_INFO[])
    H(GetContextStaticAddress, ClassID, mdFieldDef, ContextID, void**)
    H(GetCurrentThreadID, ThreadID*)
    H(GetDynamicFunctionInfo, FunctionID, ModuleID*, PCCOR_SIGNATURE*, ULONG*, ULONG, ULONG*,
        WCHAR[])
    H(GetEventMask, DWORD*) H(GetEventMask2, DWORD*, DWORD*)
    H(GetFunctionEnter3Info, FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*, ULONG*,
        COR_PRF_FUNCTION_ARGUMENT_INFO*)
    H(GetFunctionFromIP, LPCBYTE, FunctionID*) H(GetFunctionFromIP2, LPCBYTE, FunctionID*, ReJITID*)
    H(GetFunctionFromIP3, LPCBYTE, FunctionID*, ReJITID*)
    H(GetFunctionFromToken, ModuleID, mdToken, FunctionID*)
    H(GetFunctionFromTokenAndTypeArgs, ModuleID, mdMethodDef, ClassID, ULONG32, ClassID[],
        FunctionID*)
    H(GetFunctionInfo, FunctionID, ClassID*, ModuleID*, mdToken*)
    H(GetFunctionInfo2, FunctionID, COR_PRF_FRAME_INFO, ClassID*, ModuleID*, mdToken*, ULONG32,
        ULONG32*, ClassID[])
    H(GetFunctionLeave3Info, FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*,
        COR_PRF_FUNCTION_ARGUMENT_RANGE*)
    H(GetFunctionTailcall3Info, FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*)
    H(GetGenerationBounds, ULONG, ULONG*, COR_PRF_GC_GENERATION_RANGE[])
    H(GetHandleFromThread, ThreadID, HANDLE*)
    H(GetILFunctionBody, ModuleID, mdMethodDef, LPCBYTE*, ULONG*)
    H(GetILFunctionBodyAllocator, ModuleID, IMethodMalloc**)
    H(GetILToNativeMapping, FunctionID, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[])
    H(GetILToNativeMapping2, FunctionID, ReJITID, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[])
    H(GetILToNativeMapping3, UINT_PTR, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[])
    H(GetInMemorySymbolsLength, ModuleID, DWORD*) H(GetInprocInspectionIThisThread, IUnknown**)
    H(GetInprocInspectionInterface, IUnknown**) H(GetLOHObjectSizeThreshold, DWORD*)
    H(GetModuleInfo, ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR[], AssemblyID*)
    H(GetModuleInfo2, ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR[], AssemblyID*, DWORD*)
    H(GetModuleMetaData, ModuleID, DWORD, REFIID, IUnknown**)
    H(GetNativeCodeStartAddresses, FunctionID, ReJITID, ULONG32, ULONG32*, UINT_PTR[])
    H(GetNotifiedExceptionClauseInfo, COR_PRF_EX_CLAUSE_INFO*)
    H(GetObjectGeneration, ObjectID, COR_PRF_GC_GENERATION_RANGE*)
    H(GetObjectSize, ObjectID, ULONG*) H(GetObjectSize2, ObjectID, SIZE_T*)
    H(GetRVAStaticAddress, ClassID, mdFieldDef, void**)
    H(GetReJITIDs, FunctionID, ULONG, ULONG*, ReJITID[])
    H(GetRuntimeInformation, USHORT*, COR_PRF_RUNTIME_TYPE*, USHORT*, USHORT*, USHORT*, USHORT*,
        ULONG, ULONG*, WCHAR[])
    H(GetStaticFieldInfo, ClassID, mdFieldDef, COR_PRF_STATIC_TYPE*)
    H(GetStringLayout, ULONG*, ULONG*, ULONG*) H(GetStringLayout2, ULONG*, ULONG*)
    H(GetThreadAppDomain, ThreadID, AppDomainID*) H(GetThreadContext, ThreadID, ContextID*)
    H(GetThreadInfo, ThreadID, DWORD*)
    H(GetThreadStaticAddress, ClassID, mdFieldDef, ThreadID, void**)
    H(GetThreadStaticAddress2, ClassID, mdFieldDef, AppDomainID, ThreadID, void**)
    H(GetTokenAndMetaDataFromFunction, FunctionID, REFIID, IUnknown**, mdToken*)
    H(InitializeCurrentThread) H(IsArrayClass, ClassID, CorElementType*, ClassID*, ULONG*)
    H(IsFrozenObject, ObjectID, BOOL*) H(IsFunctionDynamic, FunctionID, BOOL*)
    H(ReadInMemorySymbols, ModuleID, DWORD, BYTE*, DWORD, DWORD*) H(RequestProfilerDetach, DWORD)
    H(RequestReJIT, ULONG, ModuleID[], mdMethodDef[])
    H(RequestReJITWithInliners, DWORD, ULONG, ModuleID[], mdMethodDef[])
    H(RequestRevert, ULONG, ModuleID[], mdMethodDef[], HRESULT[]) H(ResumeRuntime)
    H(SetEnterLeaveFunctionHooks, FunctionEnter*, FunctionLeave*, FunctionTailcall*)
    H(SetEnterLeaveFunctionHooks2, FunctionEnter2*, FunctionLeave2*, FunctionTailcall2*)
    H(SetEnterLeaveFunctionHooks3, FunctionEnter3*, FunctionLeave3*, FunctionTailcall3*)
    H(SetEnterLeaveFunctionHooks3WithInfo, FunctionEnter3WithInfo*, FunctionLeave3WithInfo*,
        FunctionTailcall3WithInfo*)
    H(SetEventMask, DWORD) H(SetEventMask2, DWORD, DWORD) H(SetFunctionIDMapper, FunctionIDMapper*)
    H(SetFunctionIDMapper2, FunctionIDMapper2*, void*) H(SetFunctionReJIT, FunctionID)
    H(SetILFunctionBody, ModuleID, mdMethodDef, LPCBYTE)
    H(SetILInstrumentedCodeMap, FunctionID, BOOL, ULONG, COR_IL_MAP[]) H(SuspendRuntime)
};

class RecordingClassFactory final : public IClassFactory, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    H(CreateInstance, IUnknown*, REFIID, void**) H(LockServer, BOOL)
};

class RecordingPALThreads final : public IPALThreads, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    H(CloseThread, PALThreadHandle)
    H(CreateThread, PALThreadProc, void*, DWORD, DWORD, PALThreadHandle*)
    H(GetThreadId, PALThreadHandle, DWORD*) H(Sleep, DWORD) H(StartThread, PALThreadHandle)
    H(WaitForThread, PALThreadHandle, DWORD)
};

class RecordingPALTools final : public IPALTools, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    H(CloseStream, PALStreamHandle) H(Read, PALStreamHandle, void*, DWORD, DWORD*)
    H(StartService, LPCWSTR, DWORD, PALServiceProc, DWORD, void*)
    H(Write, PALStreamHandle, const void*, DWORD)
};

class RecordingPALProfilerHost final : public IPALProfilerHost, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    H(SetProfilerCallback, ICorProfilerCallback2*)
};

// Published slots, transcribed from the runtime's definitions.
const auto kCallback3Slots = Slots({
    "QueryInterface", "AddRef", "Release", "Initialize", "Shutdown", "AppDomainCreationStarted",
    "AppDomainCreationFinished", "AppDomainShutdownStarted", "AppDomainShutdownFinished",
    "AssemblyLoadStarted", "AssemblyLoadFinished", "AssemblyUnloadStarted",
    "AssemblyUnloadFinished", "ModuleLoadStarted", "ModuleLoadFinished", "ModuleUnloadStarted",
    "ModuleUnloadFinished", "ModuleAttachedToAssembly", "ClassLoadStarted", "ClassLoadFinished",
    "ClassUnloadStarted", "ClassUnloadFinished", "FunctionUnloadStarted", "JITCompilationStarted",
    "JITCompilationFinished", "JITCachedFunctionSearchStarted", "JITCachedFunctionSearchFinished",
    "JITFunctionPitched", "JITInlining", "ThreadCreated", "ThreadDestroyed",
    "ThreadAssignedToOSThread", "RemotingClientInvocationStarted", "RemotingClientSendingMessage",
    "RemotingClientReceivingReply", "RemotingClientInvocationFinished",
    "RemotingServerReceivingMessage", "RemotingServerInvocationStarted",
    "RemotingServerInvocationReturned", "RemotingServerSendingReply",
    "UnmanagedToManagedTransition", "ManagedToUnmanagedTransition", "RuntimeSuspendStarted",
    "RuntimeSuspendFinished", "RuntimeSuspendAborted", "RuntimeResumeStarted",
    "RuntimeResumeFinished", "RuntimeThreadSuspended", "RuntimeThreadResumed", "MovedReferences",
    "ObjectAllocated", "ObjectsAllocatedByClass", "ObjectReferences", "RootReferences",
    "ExceptionThrown", "ExceptionSearchFunctionEnter", "ExceptionSearchFunctionLeave",
    "ExceptionSearchFilterEnter", "ExceptionSearchFilterLeave", "ExceptionSearchCatcherFound",
    "ExceptionOSHandlerEnter", "ExceptionOSHandlerLeave", "ExceptionUnwindFunctionEnter",
    "ExceptionUnwindFunctionLeave", "ExceptionUnwindFinallyEnter", "ExceptionUnwindFinallyLeave",
    "ExceptionCatcherEnter", "ExceptionCatcherLeave", "COMClassicVTableCreated",
    "COMClassicVTableDestroyed", "ExceptionCLRCatcherFound", "ExceptionCLRCatcherExecute",
    "ThreadNameChanged", "GarbageCollectionStarted", "SurvivingReferences",
    "GarbageCollectionFinished", "FinalizeableObjectQueued", "RootReferences2", "HandleCreated",
    "HandleDestroyed", "InitializeForAttach", "ProfilerAttachComplete", "ProfilerDetachSucceeded",
});
const auto kInfo10Slots = Slots({
    "QueryInterface", "AddRef", "Release", "GetClassFromObject", "GetClassFromToken", "GetCodeInfo",
    "GetEventMask", "GetFunctionFromIP", "GetFunctionFromToken", "GetHandleFromThread",
    "GetObjectSize", "IsArrayClass", "GetThreadInfo", "GetCurrentThreadID", "GetClassIDInfo",
    "GetFunctionInfo", "SetEventMask", "SetEnterLeaveFunctionHooks", "SetFunctionIDMapper",
    "GetTokenAndMetaDataFromFunction", "GetModuleInfo", "GetModuleMetaData", "GetILFunctionBody",
    "GetILFunctionBodyAllocator", "SetILFunctionBody", "GetAppDomainInfo", "GetAssemblyInfo",
    "SetFunctionReJIT", "ForceGC", "SetILInstrumentedCodeMap", "GetInprocInspectionInterface",
    "GetInprocInspectionIThisThread", "GetThreadContext", "BeginInprocDebugging",
    "EndInprocDebugging", "GetILToNativeMapping", "DoStackSnapshot", "SetEnterLeaveFunctionHooks2",
    "GetFunctionInfo2", "GetStringLayout", "GetClassLayout", "GetClassIDInfo2", "GetCodeInfo2",
    "GetClassFromTokenAndTypeArgs", "GetFunctionFromTokenAndTypeArgs", "EnumModuleFrozenObjects",
    "GetArrayObjectInfo", "GetBoxClassLayout", "GetThreadAppDomain", "GetRVAStaticAddress",
    "GetAppDomainStaticAddress", "GetThreadStaticAddress", "GetContextStaticAddress",
    "GetStaticFieldInfo", "GetGenerationBounds", "GetObjectGeneration",
    "GetNotifiedExceptionClauseInfo", "EnumJITedFunctions", "RequestProfilerDetach",
    "SetFunctionIDMapper2", "GetStringLayout2", "SetEnterLeaveFunctionHooks3",
    "SetEnterLeaveFunctionHooks3WithInfo", "GetFunctionEnter3Info", "GetFunctionLeave3Info",
    "GetFunctionTailcall3Info", "EnumModules", "GetRuntimeInformation", "GetThreadStaticAddress2",
    "GetAppDomainsContainingModule", "GetModuleInfo2", "EnumThreads", "InitializeCurrentThread",
    "RequestReJIT", "RequestRevert", "GetCodeInfo3", "GetFunctionFromIP2", "GetReJITIDs",
    "GetILToNativeMapping2", "EnumJITedFunctions2", "GetObjectSize2", "GetEventMask2",
    "SetEventMask2", "EnumNgenModuleMethodsInliningThisMethod", "ApplyMetaData",
    "GetInMemorySymbolsLength", "ReadInMemorySymbols", "IsFunctionDynamic", "GetFunctionFromIP3",
    "GetDynamicFunctionInfo", "GetNativeCodeStartAddresses", "GetILToNativeMapping3",
    "GetCodeInfo4", "EnumerateObjectReferences", "IsFrozenObject", "GetLOHObjectSizeThreshold",
    "RequestReJITWithInliners", "SuspendRuntime", "ResumeRuntime",
});
const auto kMetaDataImportSlots = Slots({
    "QueryInterface", "AddRef", "Release", "CloseEnum", "CountEnum", "ResetEnum", "EnumTypeDefs",
    "EnumInterfaceImpls", "EnumTypeRefs", "FindTypeDefByName", "GetScopeProps",
    "GetModuleFromScope", "GetTypeDefProps", "GetInterfaceImplProps", "GetTypeRefProps",
    "ResolveTypeRef", "EnumMembers", "EnumMembersWithName", "EnumMethods", "EnumMethodsWithName",
    "EnumFields", "EnumFieldsWithName", "EnumParams", "EnumMemberRefs", "EnumMethodImpls",
    "EnumPermissionSets", "FindMember", "FindMethod", "FindField", "FindMemberRef",
    "GetMethodProps", "GetMemberRefProps", "EnumProperties", "EnumEvents", "GetEventProps",
    "EnumMethodSemantics", "GetMethodSemantics", "GetClassLayout", "GetFieldMarshal", "GetRVA",
    "GetPermissionSetProps", "GetSigFromToken", "GetModuleRefProps", "EnumModuleRefs",
    "GetTypeSpecFromToken", "GetNameFromToken", "EnumUnresolvedMethods", "GetUserString",
    "GetPinvokeMap", "EnumSignatures", "EnumTypeSpecs", "EnumUserStrings", "GetParamForMethodIndex",
    "EnumCustomAttributes", "GetCustomAttributeProps", "FindTypeRef", "GetMemberProps",
    "GetFieldProps", "GetPropertyProps", "GetParamProps", "GetCustomAttributeByName",
    "IsValidToken", "GetNestedClassProps", "GetNativeCallConvFromSig", "IsGlobal",
});
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

TEST(SlotOrder, PublishedInterfaces) {
    RecordingCallback3 callback;
    ExpectSlotOrder(static_cast<ICorProfilerCallback3*>(&callback), &callback,
                    kCallback3Slots.rows);
    RecordingInfo10 info;
    ExpectSlotOrder(static_cast<ICorProfilerInfo10*>(&info), &info, kInfo10Slots.rows);
    RecordingMetaDataImport import;
    ExpectSlotOrder(static_cast<IMetaDataImport*>(&import), &import, kMetaDataImportSlots.rows);
    RecordingClassFactory factory;
    ExpectSlotOrder(
        static_cast<IClassFactory*>(&factory), &factory,
        Slots({"QueryInterface", "AddRef", "Release", "CreateInstance", "LockServer"}).rows);
    RecordingPALThreads threads;
    ExpectSlotOrder(static_cast<IPALThreads*>(&threads), &threads,
                    Slots({"QueryInterface", "AddRef", "Release", "CreateThread", "StartThread",
                           "CloseThread", "Sleep", "GetThreadId", "WaitForThread"})
                        .rows);
    RecordingPALTools tools;
    ExpectSlotOrder(static_cast<IPALTools*>(&tools), &tools,
                    Slots({"QueryInterface", "AddRef", "Release", "StartService", "Write", "Read",
                           "CloseStream"})
                        .rows);
    RecordingPALProfilerHost host;
    ExpectSlotOrder(static_cast<IPALProfilerHost*>(&host), &host,
                    Slots({"QueryInterface", "AddRef", "Release", "SetProfilerCallback"}).rows);
}

TEST(SlotOrder, CheckFailsOnAMisplacedMethod) {
    // Read and Write swapped: the check must report both slots, or it proves nothing.
    RecordingPALTools tools;
    const auto swapped = Slots(
        {"QueryInterface", "AddRef", "Release", "StartService", "Read", "Write", "CloseStream"});
    testing::TestPartResultArray failures;
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        ExpectSlotOrder(static_cast<IPALTools*>(&tools), &tools, swapped.rows);
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

#define QV_SIZE(T, n) \
    { sizeof(T), n, #T }
#define QV_AT(T, m, n) \
    { offsetof(T, m), n, #T "." #m }

TEST(RuntimeTypes, HaveThePublishedWidthsAndOffsets) {
    constexpr size_t W = sizeof(void*);
    struct Row {
        size_t actual, expected;
        const char* pWhat;
    };
    // Enumerations travel as 4-byte values and array elements.
    // clang-format off
    const Row rows[] = {
        QV_SIZE(ULONG, 4), QV_SIZE(DWORD, 4), QV_SIZE(BOOL, 4), QV_SIZE(HRESULT, 4),
        QV_SIZE(WCHAR, 2), QV_SIZE(mdToken, 4), QV_SIZE(UINT_PTR, W), QV_SIZE(ObjectID, W),
        QV_SIZE(HCORENUM, W), QV_SIZE(CorElementType, 4), QV_SIZE(COR_PRF_GC_ROOT_KIND, 4),
        QV_SIZE(COR_PRF_GC_ROOT_FLAGS, 4), QV_SIZE(COR_PRF_MONITOR, 4),
        QV_AT(COR_PRF_GC_GENERATION_RANGE, generation, 0),
        QV_AT(COR_PRF_GC_GENERATION_RANGE, rangeStart, W),
        QV_AT(COR_PRF_GC_GENERATION_RANGE, rangeLength, 2 * W),
        QV_AT(COR_PRF_GC_GENERATION_RANGE, rangeLengthReserved, 3 * W),
        QV_SIZE(COR_PRF_GC_GENERATION_RANGE, 4 * W),
        QV_AT(COR_PRF_FUNCTION_ARGUMENT_RANGE, length, W),
        QV_SIZE(COR_PRF_FUNCTION_ARGUMENT_RANGE, 2 * W),
        QV_AT(COR_PRF_FUNCTION_ARGUMENT_INFO, ranges, 8),
        QV_AT(COR_FIELD_OFFSET, ulOffset, 4), QV_SIZE(COR_FIELD_OFFSET, 8),
        QV_SIZE(COR_PRF_CODE_INFO, 2 * W), QV_SIZE(COR_DEBUG_IL_TO_NATIVE_MAP, 12),
        QV_SIZE(COR_IL_MAP, 12), QV_AT(COR_PRF_EX_CLAUSE_INFO, shadowStackPointer, 3 * W),
        QV_SIZE(COR_PRF_EX_CLAUSE_INFO, 4 * W), QV_AT(COR_PRF_METHOD, methodId, W),
        QV_SIZE(COR_PRF_METHOD, 2 * W),
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(row.expected, row.actual) << row.pWhat;
    }
}
