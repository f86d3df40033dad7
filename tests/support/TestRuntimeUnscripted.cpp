// The information operations the test runtime has no script for yet: each answers E_NOTIMPL, as
// a runtime does for an operation it does not support. To script one, move it to TestRuntime.cpp
// (see the header's notes on extending).
#include "support/TestRuntime.h"

HRESULT TestRuntime::GetClassFromObject(ObjectID, ClassID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetClassFromToken(ModuleID, mdTypeDef, ClassID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetCodeInfo(FunctionID, LPCBYTE*, ULONG*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionFromIP(LPCBYTE, FunctionID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionFromToken(ModuleID, mdToken, FunctionID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetTokenAndMetaDataFromFunction(FunctionID, REFIID, IUnknown**, mdToken*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetILFunctionBody(ModuleID, mdMethodDef, LPCBYTE*, ULONG*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetILFunctionBodyAllocator(ModuleID, IMethodMalloc**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::SetILFunctionBody(ModuleID, mdMethodDef, LPCBYTE) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetAppDomainInfo(AppDomainID, ULONG, ULONG*, WCHAR*, ProcessID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetAssemblyInfo(AssemblyID, ULONG, ULONG*, WCHAR*, AppDomainID*, ModuleID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::SetFunctionReJIT(FunctionID) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::SetILInstrumentedCodeMap(FunctionID, BOOL, ULONG, COR_IL_MAP*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetInprocInspectionInterface(IUnknown**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetInprocInspectionIThisThread(IUnknown**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetThreadContext(ThreadID, ContextID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::BeginInprocDebugging(BOOL, DWORD*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EndInprocDebugging(DWORD) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetILToNativeMapping(FunctionID, ULONG32, ULONG32*,
                                          COR_DEBUG_IL_TO_NATIVE_MAP*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionInfo2(FunctionID, COR_PRF_FRAME_INFO, ClassID*, ModuleID*, mdToken*,
                                      ULONG32, ULONG32*, ClassID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetStringLayout(ULONG*, ULONG*, ULONG*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetCodeInfo2(FunctionID, ULONG32, ULONG32*, COR_PRF_CODE_INFO*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetClassFromTokenAndTypeArgs(ModuleID, mdTypeDef, ULONG32, ClassID*,
                                                  ClassID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionFromTokenAndTypeArgs(ModuleID, mdMethodDef, ClassID, ULONG32,
                                                     ClassID*, FunctionID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EnumModuleFrozenObjects(ModuleID, ICorProfilerObjectEnum**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetThreadAppDomain(ThreadID, AppDomainID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetRVAStaticAddress(ClassID, mdFieldDef, void**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetAppDomainStaticAddress(ClassID, mdFieldDef, AppDomainID, void**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetThreadStaticAddress(ClassID, mdFieldDef, ThreadID, void**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetContextStaticAddress(ClassID, mdFieldDef, ContextID, void**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetStaticFieldInfo(ClassID, mdFieldDef, COR_PRF_STATIC_TYPE*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetObjectGeneration(ObjectID, COR_PRF_GC_GENERATION_RANGE*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetNotifiedExceptionClauseInfo(COR_PRF_EX_CLAUSE_INFO*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EnumJITedFunctions(ICorProfilerFunctionEnum**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::RequestProfilerDetach(DWORD) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetStringLayout2(ULONG*, ULONG*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::SetEnterLeaveFunctionHooks3WithInfo(FunctionEnter3WithInfo*,
                                                         FunctionLeave3WithInfo*,
                                                         FunctionTailcall3WithInfo*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionEnter3Info(FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*,
                                           ULONG*, COR_PRF_FUNCTION_ARGUMENT_INFO*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionLeave3Info(FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*,
                                           COR_PRF_FUNCTION_ARGUMENT_RANGE*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionTailcall3Info(FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EnumModules(ICorProfilerModuleEnum**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetRuntimeInformation(USHORT*, COR_PRF_RUNTIME_TYPE*, USHORT*, USHORT*,
                                           USHORT*, USHORT*, ULONG, ULONG*, WCHAR*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetThreadStaticAddress2(ClassID, mdFieldDef, AppDomainID, ThreadID, void**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetAppDomainsContainingModule(ModuleID, ULONG32, ULONG32*, AppDomainID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetModuleInfo2(ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR*, AssemblyID*,
                                    DWORD*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EnumThreads(ICorProfilerThreadEnum**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::InitializeCurrentThread() {
    return E_NOTIMPL;
}

HRESULT TestRuntime::RequestReJIT(ULONG, ModuleID*, mdMethodDef*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::RequestRevert(ULONG, ModuleID*, mdMethodDef*, HRESULT*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetCodeInfo3(FunctionID, ReJITID, ULONG32, ULONG32*, COR_PRF_CODE_INFO*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionFromIP2(LPCBYTE, FunctionID*, ReJITID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetReJITIDs(FunctionID, ULONG, ULONG*, ReJITID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetILToNativeMapping2(FunctionID, ReJITID, ULONG32, ULONG32*,
                                           COR_DEBUG_IL_TO_NATIVE_MAP*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EnumJITedFunctions2(ICorProfilerFunctionEnum**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetObjectSize2(ObjectID, SIZE_T*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EnumNgenModuleMethodsInliningThisMethod(ModuleID, ModuleID, mdMethodDef, BOOL*,
                                                             ICorProfilerMethodEnum**) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::ApplyMetaData(ModuleID) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetInMemorySymbolsLength(ModuleID, DWORD*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::ReadInMemorySymbols(ModuleID, DWORD, BYTE*, DWORD, DWORD*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::IsFunctionDynamic(FunctionID, BOOL*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetFunctionFromIP3(LPCBYTE, FunctionID*, ReJITID*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetDynamicFunctionInfo(FunctionID, ModuleID*, PCCOR_SIGNATURE*, ULONG*, ULONG,
                                            ULONG*, WCHAR*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetNativeCodeStartAddresses(FunctionID, ReJITID, ULONG32, ULONG32*,
                                                 UINT_PTR*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetILToNativeMapping3(UINT_PTR, ULONG32, ULONG32*,
                                           COR_DEBUG_IL_TO_NATIVE_MAP*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetCodeInfo4(UINT_PTR, ULONG32, ULONG32*, COR_PRF_CODE_INFO*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::EnumerateObjectReferences(ObjectID, ObjectReferenceCallback, void*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::IsFrozenObject(ObjectID, BOOL*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::GetLOHObjectSizeThreshold(DWORD*) {
    return E_NOTIMPL;
}

HRESULT TestRuntime::RequestReJITWithInliners(DWORD, ULONG, ModuleID*, mdMethodDef*) {
    return E_NOTIMPL;
}
