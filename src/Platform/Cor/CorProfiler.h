// Our declaration of the runtime's published profiling interfaces: identifier types, event flags
// and other constants, the structures and hook types they pass, the callback interfaces a
// profiler implements and the information interfaces the runtime offers. Slot order, widths and
// identifiers match the runtime's own definitions, because the runtime calls and is called by
// vtable slot. Interfaces have no virtual destructor, which would shift every later slot.
#pragma once

#include "Platform/Cor/CorMetaData.h"
#include "Platform/Types.h"

// Runtime identifiers: opaque pointer-sized values handed out by the runtime.
using ProcessID = UINT_PTR;
using AssemblyID = UINT_PTR;
using AppDomainID = UINT_PTR;
using ModuleID = UINT_PTR;
using ClassID = UINT_PTR;
using ThreadID = UINT_PTR;
using ContextID = UINT_PTR;
using FunctionID = UINT_PTR;
using ObjectID = UINT_PTR;
using GCHandleID = UINT_PTR;
using ReJITID = UINT_PTR;
// Valid only during the callback or hook that supplied it.
using COR_PRF_FRAME_INFO = UINT_PTR;
using COR_PRF_ELT_INFO = UINT_PTR;

// Event mask bits (SetEventMask, and the low word of SetEventMask2).
enum COR_PRF_MONITOR : DWORD {
    COR_PRF_MONITOR_NONE = 0x00000000,
    COR_PRF_MONITOR_FUNCTION_UNLOADS = 0x00000001,
    COR_PRF_MONITOR_CLASS_LOADS = 0x00000002,
    COR_PRF_MONITOR_MODULE_LOADS = 0x00000004,
    COR_PRF_MONITOR_ASSEMBLY_LOADS = 0x00000008,
    COR_PRF_MONITOR_APPDOMAIN_LOADS = 0x00000010,
    COR_PRF_MONITOR_JIT_COMPILATION = 0x00000020,
    COR_PRF_MONITOR_EXCEPTIONS = 0x00000040,
    COR_PRF_MONITOR_GC = 0x00000080,
    COR_PRF_MONITOR_OBJECT_ALLOCATED = 0x00000100,
    COR_PRF_MONITOR_THREADS = 0x00000200,
    COR_PRF_MONITOR_REMOTING = 0x00000400,
    COR_PRF_MONITOR_CODE_TRANSITIONS = 0x00000800,
    COR_PRF_MONITOR_ENTERLEAVE = 0x00001000,
    COR_PRF_MONITOR_CCW = 0x00002000,
    COR_PRF_MONITOR_REMOTING_COOKIE = 0x00004400,
    COR_PRF_MONITOR_REMOTING_ASYNC = 0x00008400,
    COR_PRF_MONITOR_SUSPENDS = 0x00010000,
    COR_PRF_MONITOR_CACHE_SEARCHES = 0x00020000,
    COR_PRF_ENABLE_REJIT = 0x00040000,
    COR_PRF_ENABLE_INPROC_DEBUGGING = 0x00080000,
    COR_PRF_ENABLE_JIT_MAPS = 0x00100000,
    COR_PRF_DISABLE_INLINING = 0x00200000,
    COR_PRF_DISABLE_OPTIMIZATIONS = 0x00400000,
    COR_PRF_ENABLE_OBJECT_ALLOCATED = 0x00800000,
    COR_PRF_MONITOR_CLR_EXCEPTIONS = 0x01000000,
    COR_PRF_MONITOR_ALL = 0x0107FFFF,
    COR_PRF_ENABLE_FUNCTION_ARGS = 0x02000000,
    COR_PRF_ENABLE_FUNCTION_RETVAL = 0x04000000,
    COR_PRF_ENABLE_FRAME_INFO = 0x08000000,
    COR_PRF_ENABLE_STACK_SNAPSHOT = 0x10000000,
    COR_PRF_USE_PROFILE_IMAGES = 0x20000000,
    COR_PRF_DISABLE_TRANSPARENCY_CHECKS_UNDER_FULL_TRUST = 0x40000000,
    COR_PRF_DISABLE_ALL_NGEN_IMAGES = 0x80000000,
    COR_PRF_ALL = 0x8FFFFFFF,
    COR_PRF_REQUIRE_PROFILE_IMAGE = 0x20001800,
    COR_PRF_ALLOWABLE_AFTER_ATTACH = 0x100502FE,
    COR_PRF_ALLOWABLE_NOTIFICATION_PROFILER = 0xB1E32B7F,
    // Only settable inside Initialize.
    COR_PRF_MONITOR_IMMUTABLE = 0xEEF8CC00,
};

// Event mask bits of the high word (SetEventMask2).
enum COR_PRF_HIGH_MONITOR : DWORD {
    COR_PRF_HIGH_MONITOR_NONE = 0x00000000,
    COR_PRF_HIGH_ADD_ASSEMBLY_REFERENCES = 0x00000001,
    COR_PRF_HIGH_IN_MEMORY_SYMBOLS_UPDATED = 0x00000002,
    COR_PRF_HIGH_MONITOR_DYNAMIC_FUNCTION_UNLOADS = 0x00000004,
    COR_PRF_HIGH_DISABLE_TIERED_COMPILATION = 0x00000008,
    COR_PRF_HIGH_BASIC_GC = 0x00000010,
    COR_PRF_HIGH_MONITOR_GC_MOVED_OBJECTS = 0x00000020,
    COR_PRF_HIGH_REQUIRE_PROFILE_IMAGE = 0x00000000,
    COR_PRF_HIGH_MONITOR_LARGEOBJECT_ALLOCATED = 0x00000040,
    COR_PRF_HIGH_MONITOR_EVENT_PIPE = 0x00000080,
    COR_PRF_HIGH_ALLOWABLE_AFTER_ATTACH = 0x000000F6,
    COR_PRF_HIGH_ALLOWABLE_NOTIFICATION_PROFILER = 0x000000FE,
    COR_PRF_HIGH_MONITOR_IMMUTABLE = 0x00000008,
};

// Enumerations the runtime passes by value or in arrays: all 4 bytes wide. The fixed underlying
// type makes every value the runtime may send (including ones added later) a valid value.
enum COR_PRF_SUSPEND_REASON : int32_t {
    COR_PRF_SUSPEND_OTHER = 0,
    COR_PRF_SUSPEND_FOR_GC = 1,
    COR_PRF_SUSPEND_FOR_APPDOMAIN_SHUTDOWN = 2,
    COR_PRF_SUSPEND_FOR_CODE_PITCHING = 3,
    COR_PRF_SUSPEND_FOR_SHUTDOWN = 4,
    COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER = 6,
    COR_PRF_SUSPEND_FOR_GC_PREP = 7,
    COR_PRF_SUSPEND_FOR_REJIT = 8,
    COR_PRF_SUSPEND_FOR_PROFILER = 9,  // requested through ICorProfilerInfo10::SuspendRuntime
};

enum COR_PRF_GC_REASON : int32_t {
    COR_PRF_GC_OTHER = 0,
    COR_PRF_GC_INDUCED = 1,
};

enum COR_PRF_GC_ROOT_KIND : int32_t {
    COR_PRF_GC_ROOT_OTHER = 0,
    COR_PRF_GC_ROOT_STACK = 1,
    COR_PRF_GC_ROOT_FINALIZER = 2,
    COR_PRF_GC_ROOT_HANDLE = 3,
};

enum COR_PRF_GC_ROOT_FLAGS : DWORD {
    COR_PRF_GC_ROOT_PINNING = 0x1,
    COR_PRF_GC_ROOT_WEAKREF = 0x2,
    COR_PRF_GC_ROOT_INTERIOR = 0x4,
    COR_PRF_GC_ROOT_REFCOUNTED = 0x8,
};

// Indexes of GarbageCollectionStarted's generationCollected array.
enum COR_PRF_GC_GENERATION : int32_t {
    COR_PRF_GC_GEN_0 = 0,
    COR_PRF_GC_GEN_1 = 1,
    COR_PRF_GC_GEN_2 = 2,
    COR_PRF_GC_LARGE_OBJECT_HEAP = 3,
    COR_PRF_GC_PINNED_OBJECT_HEAP = 4,
};

enum COR_PRF_FINALIZER_FLAGS : DWORD {
    COR_PRF_FINALIZER_CRITICAL = 0x1,
};

enum COR_PRF_TRANSITION_REASON : int32_t {
    COR_PRF_TRANSITION_CALL = 0,
    COR_PRF_TRANSITION_RETURN = 1,
};

enum COR_PRF_JIT_CACHE : int32_t {
    COR_PRF_CACHED_FUNCTION_FOUND = 0,
    COR_PRF_CACHED_FUNCTION_NOT_FOUND = 1,
};

// DoStackSnapshot's infoFlags.
enum COR_PRF_SNAPSHOT_INFO : DWORD {
    COR_PRF_SNAPSHOT_DEFAULT = 0x0,
    COR_PRF_SNAPSHOT_REGISTER_CONTEXT = 0x1,
    COR_PRF_SNAPSHOT_X86_OPTIMIZED = 0x2,  // x86 only
};

enum COR_PRF_RUNTIME_TYPE : int32_t {
    COR_PRF_DESKTOP_CLR = 0x1,
    COR_PRF_CORE_CLR = 0x2,
};

enum COR_PRF_STATIC_TYPE : DWORD {
    COR_PRF_FIELD_NOT_A_STATIC = 0x0,
    COR_PRF_FIELD_APP_DOMAIN_STATIC = 0x1,
    COR_PRF_FIELD_THREAD_STATIC = 0x2,
    COR_PRF_FIELD_CONTEXT_STATIC = 0x4,
    COR_PRF_FIELD_RVA_STATIC = 0x8,
};

enum COR_PRF_MODULE_FLAGS : DWORD {
    COR_PRF_MODULE_DISK = 0x1,
    COR_PRF_MODULE_NGEN = 0x2,  // also set for precompiled images
    COR_PRF_MODULE_DYNAMIC = 0x4,
    COR_PRF_MODULE_COLLECTIBLE = 0x8,
    COR_PRF_MODULE_RESOURCE = 0x10,
    COR_PRF_MODULE_FLAT_LAYOUT = 0x20,
    COR_PRF_MODULE_WINDOWS_RUNTIME = 0x40,
};

enum COR_PRF_CLAUSE_TYPE : int32_t {
    COR_PRF_CLAUSE_NONE = 0,
    COR_PRF_CLAUSE_FILTER = 1,
    COR_PRF_CLAUSE_CATCH = 2,
    COR_PRF_CLAUSE_FINALLY = 3,
};

// Special identifier values. They are 32-bit: compared with a 64-bit identifier they zero-extend.
enum COR_PRF_MISC : uint32_t {
    PROFILER_PARENT_UNKNOWN = 0xFFFFFFFD,  // AssemblyID of a module not yet attached
    PROFILER_GLOBAL_CLASS = 0xFFFFFFFE,    // ClassID
    PROFILER_GLOBAL_MODULE = 0xFFFFFFFF,   // ModuleID
};

enum COR_PRF_REJIT_FLAGS : DWORD {
    COR_PRF_REJIT_BLOCK_INLINING = 0x1,
    COR_PRF_REJIT_INLINING_CALLBACKS = 0x2,
};

enum COR_PRF_CODEGEN_FLAGS : DWORD {
    COR_PRF_CODEGEN_DISABLE_INLINING = 0x1,
    COR_PRF_CODEGEN_DISABLE_ALL_OPTIMIZATIONS = 0x2,
};

// Special values of COR_DEBUG_IL_TO_NATIVE_MAP::ilOffset.
enum CorDebugIlToNativeMappingTypes : int32_t {
    NO_MAPPING = -1,
    PROLOG = -2,
    EPILOG = -3,
};

constexpr bool kCorIs64Bit = sizeof(void*) == 8;

// One generation's address range. rangeLength is exact only when asked for during a collection
// callback.
struct COR_PRF_GC_GENERATION_RANGE {
    COR_PRF_GC_GENERATION generation;
    ObjectID rangeStart;
    UINT_PTR rangeLength;          // used
    UINT_PTR rangeLengthReserved;  // reserved, including the used part
};
static_assert(sizeof(COR_PRF_GC_GENERATION_RANGE) == (kCorIs64Bit ? 32 : 16));

struct COR_PRF_FUNCTION_ARGUMENT_RANGE {
    UINT_PTR startAddress;
    ULONG length;
};
static_assert(sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE) == (kCorIs64Bit ? 16 : 8));

// Variable length: numRanges entries follow the header.
struct COR_PRF_FUNCTION_ARGUMENT_INFO {
    ULONG numRanges;
    ULONG totalArgumentSize;
    COR_PRF_FUNCTION_ARGUMENT_RANGE ranges[1];
};
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, ranges) == 8);

struct COR_PRF_CODE_INFO {
    UINT_PTR startAddress;
    SIZE_T size;
};
static_assert(sizeof(COR_PRF_CODE_INFO) == (kCorIs64Bit ? 16 : 8));

struct COR_DEBUG_IL_TO_NATIVE_MAP {
    ULONG32 ilOffset;
    ULONG32 nativeStartOffset;
    ULONG32 nativeEndOffset;
};
static_assert(sizeof(COR_DEBUG_IL_TO_NATIVE_MAP) == 12);

struct COR_IL_MAP {
    ULONG32 oldOffset;
    ULONG32 newOffset;
    BOOL fAccurate;
};
static_assert(sizeof(COR_IL_MAP) == 12);

struct COR_PRF_EX_CLAUSE_INFO {
    COR_PRF_CLAUSE_TYPE clauseType;
    UINT_PTR programCounter;
    UINT_PTR framePointer;
    UINT_PTR shadowStackPointer;
};
static_assert(sizeof(COR_PRF_EX_CLAUSE_INFO) == (kCorIs64Bit ? 32 : 16));

struct COR_PRF_FUNCTION {
    FunctionID functionId;
    ReJITID reJitId;
};
static_assert(sizeof(COR_PRF_FUNCTION) == (kCorIs64Bit ? 16 : 8));

struct COR_PRF_METHOD {
    ModuleID moduleId;
    mdMethodDef methodId;
};
static_assert(sizeof(COR_PRF_METHOD) == (kCorIs64Bit ? 16 : 8));

// Calling convention of the enter/leave hooks and the function id mappers. The 32-bit runtime
// calls them __stdcall (the callee removes its arguments); x86-64 has a single convention.
#if defined(__i386__)
#define HOOKCALLTYPE __attribute__((stdcall))
#else
#define HOOKCALLTYPE
#endif

// Hook and callback function types; the Set* calls take pointers to them.
using FunctionEnter = void HOOKCALLTYPE(FunctionID funcID);
using FunctionLeave = void HOOKCALLTYPE(FunctionID funcID);
using FunctionTailcall = void HOOKCALLTYPE(FunctionID funcID);

// clientData is what the function id mapper returned for the function; func and the argument
// pointers are 0 unless the event mask asks for frame, argument or return value information.
using FunctionEnter2 = void HOOKCALLTYPE(FunctionID funcId, UINT_PTR clientData,
                                         COR_PRF_FRAME_INFO func,
                                         COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo);
using FunctionLeave2 = void HOOKCALLTYPE(FunctionID funcId, UINT_PTR clientData,
                                         COR_PRF_FRAME_INFO func,
                                         COR_PRF_FUNCTION_ARGUMENT_RANGE* retvalRange);
using FunctionTailcall2 = void HOOKCALLTYPE(FunctionID funcId, UINT_PTR clientData,
                                            COR_PRF_FRAME_INFO func);

union FunctionIDOrClientID {
    FunctionID functionID;
    UINT_PTR clientID;
};
static_assert(sizeof(FunctionIDOrClientID) == sizeof(UINT_PTR));

using FunctionEnter3 = void HOOKCALLTYPE(FunctionIDOrClientID functionIDOrClientID);
using FunctionLeave3 = void HOOKCALLTYPE(FunctionIDOrClientID functionIDOrClientID);
using FunctionTailcall3 = void HOOKCALLTYPE(FunctionIDOrClientID functionIDOrClientID);
using FunctionEnter3WithInfo = void HOOKCALLTYPE(FunctionIDOrClientID functionIDOrClientID,
                                                 COR_PRF_ELT_INFO eltInfo);
using FunctionLeave3WithInfo = void HOOKCALLTYPE(FunctionIDOrClientID functionIDOrClientID,
                                                 COR_PRF_ELT_INFO eltInfo);
using FunctionTailcall3WithInfo = void HOOKCALLTYPE(FunctionIDOrClientID functionIDOrClientID,
                                                    COR_PRF_ELT_INFO eltInfo);

using FunctionIDMapper = UINT_PTR HOOKCALLTYPE(FunctionID funcId, BOOL* pbHookFunction);
using FunctionIDMapper2 = UINT_PTR HOOKCALLTYPE(FunctionID funcId, void* clientData,
                                                BOOL* pbHookFunction);

// Called once per managed frame and once per run of unmanaged frames (funcId 0). Any result but
// S_OK stops the walk.
using StackSnapshotCallback = HRESULT STDMETHODCALLTYPE(FunctionID funcId, UINT_PTR ip,
                                                        COR_PRF_FRAME_INFO frameInfo,
                                                        ULONG32 contextSize, BYTE context[],
                                                        void* clientData);
using ObjectReferenceCallback = BOOL STDMETHODCALLTYPE(ObjectID root, ObjectID* reference,
                                                       void* clientData);

// Status codes of the profiling interfaces.
constexpr HRESULT CORPROF_E_FUNCTION_NOT_COMPILED = MakeHResult(0x80131350);
constexpr HRESULT CORPROF_E_DATAINCOMPLETE = MakeHResult(0x80131351);
constexpr HRESULT CORPROF_E_FUNCTION_NOT_IL = MakeHResult(0x80131354);
constexpr HRESULT CORPROF_E_NOT_MANAGED_THREAD = MakeHResult(0x80131355);
constexpr HRESULT CORPROF_E_CALL_ONLY_FROM_INIT = MakeHResult(0x80131356);
constexpr HRESULT CORPROF_E_NOT_YET_AVAILABLE = MakeHResult(0x8013135B);
constexpr HRESULT CORPROF_E_TYPE_IS_PARAMETERIZED = MakeHResult(0x8013135C);
constexpr HRESULT CORPROF_E_FUNCTION_IS_PARAMETERIZED = MakeHResult(0x8013135D);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_INVALID_TGT_THREAD = MakeHResult(0x8013135E);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX = MakeHResult(0x8013135F);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_UNSAFE = MakeHResult(0x80131360);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_ABORTED = MakeHResult(0x80131361);
constexpr HRESULT CORPROF_E_LITERALS_HAVE_NO_ADDRESS = MakeHResult(0x80131362);
constexpr HRESULT CORPROF_E_UNSUPPORTED_CALL_SEQUENCE = MakeHResult(0x80131363);
constexpr HRESULT CORPROF_E_ASYNCHRONOUS_UNSAFE = MakeHResult(0x80131364);
constexpr HRESULT CORPROF_E_CLASSID_IS_ARRAY = MakeHResult(0x80131365);
constexpr HRESULT CORPROF_E_CLASSID_IS_COMPOSITE = MakeHResult(0x80131366);
constexpr HRESULT CORPROF_E_PROFILER_DETACHING = MakeHResult(0x80131367);
constexpr HRESULT CORPROF_E_PROFILER_NOT_ATTACHABLE = MakeHResult(0x80131368);
constexpr HRESULT CORPROF_E_UNRECOGNIZED_PIPE_MSG_FORMAT = MakeHResult(0x80131369);
constexpr HRESULT CORPROF_E_PROFILER_ALREADY_ACTIVE = MakeHResult(0x8013136A);
constexpr HRESULT CORPROF_E_PROFILEE_INCOMPATIBLE_WITH_TRIGGER = MakeHResult(0x8013136B);
constexpr HRESULT CORPROF_E_IPC_FAILED = MakeHResult(0x8013136C);
constexpr HRESULT CORPROF_E_PROFILEE_PROCESS_NOT_FOUND = MakeHResult(0x8013136D);
constexpr HRESULT CORPROF_E_CALLBACK3_REQUIRED = MakeHResult(0x8013136E);
constexpr HRESULT CORPROF_E_UNSUPPORTED_FOR_ATTACHING_PROFILER = MakeHResult(0x8013136F);
constexpr HRESULT CORPROF_E_IRREVERSIBLE_INSTRUMENTATION_PRESENT = MakeHResult(0x80131370);
constexpr HRESULT CORPROF_E_RUNTIME_UNINITIALIZED = MakeHResult(0x80131371);
constexpr HRESULT CORPROF_E_IMMUTABLE_FLAGS_SET = MakeHResult(0x80131372);
constexpr HRESULT CORPROF_E_PROFILER_NOT_YET_INITIALIZED = MakeHResult(0x80131373);
constexpr HRESULT CORPROF_E_INCONSISTENT_WITH_FLAGS = MakeHResult(0x80131374);
constexpr HRESULT CORPROF_E_PROFILER_CANCEL_ACTIVATION = MakeHResult(0x80131375);
constexpr HRESULT CORPROF_E_CONCURRENT_GC_NOT_PROFILABLE = MakeHResult(0x80131376);
constexpr HRESULT CORPROF_E_DEBUGGING_DISABLED = MakeHResult(0x80131378);
constexpr HRESULT CORPROF_E_TIMEOUT_WAITING_FOR_CONCURRENT_GC = MakeHResult(0x80131379);
constexpr HRESULT CORPROF_E_MODULE_IS_DYNAMIC = MakeHResult(0x8013137A);
constexpr HRESULT CORPROF_E_CALLBACK4_REQUIRED = MakeHResult(0x8013137B);
constexpr HRESULT CORPROF_E_REJIT_NOT_ENABLED = MakeHResult(0x8013137C);
constexpr HRESULT CORPROF_E_FUNCTION_IS_COLLECTIBLE = MakeHResult(0x8013137E);
constexpr HRESULT CORPROF_E_CALLBACK6_REQUIRED = MakeHResult(0x80131380);
constexpr HRESULT CORPROF_E_CALLBACK7_REQUIRED = MakeHResult(0x80131382);
constexpr HRESULT CORPROF_E_REJIT_INLINING_DISABLED = MakeHResult(0x80131383);
constexpr HRESULT CORPROF_E_SUSPENSION_IN_PROGRESS = MakeHResult(0x80131388);
constexpr HRESULT CORPROF_E_NOT_GC_OBJECT = MakeHResult(0x80131389);
constexpr HRESULT COR_E_NOTSUPPORTED = MakeHResult(0x80131515);

// Enumerators handed out by the information interfaces; the caller releases them. All five share
// one layout: Skip, Reset, Clone, GetCount, Next.
struct ICorProfilerObjectEnum : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE Clone(ICorProfilerObjectEnum** ppEnum) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* pcelt) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, ObjectID objects[],
                                                   ULONG* pceltFetched) = 0;
};

struct ICorProfilerFunctionEnum : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE Clone(ICorProfilerFunctionEnum** ppEnum) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* pcelt) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, COR_PRF_FUNCTION ids[],
                                                   ULONG* pceltFetched) = 0;
};

struct ICorProfilerModuleEnum : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE Clone(ICorProfilerModuleEnum** ppEnum) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* pcelt) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, ModuleID ids[],
                                                   ULONG* pceltFetched) = 0;
};

struct ICorProfilerThreadEnum : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE Clone(ICorProfilerThreadEnum** ppEnum) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* pcelt) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, ThreadID ids[],
                                                   ULONG* pceltFetched) = 0;
};

struct ICorProfilerMethodEnum : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE Clone(ICorProfilerMethodEnum** ppEnum) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* pcelt) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, COR_PRF_METHOD elements[],
                                                   ULONG* pceltFetched) = 0;
};

// Allocator for replacement method bodies (deprecated by the runtime).
struct IMethodMalloc : IUnknown {
    /* 3 */ virtual PVOID STDMETHODCALLTYPE Alloc(ULONG cb) = 0;
};

// Handed to a profiler that rewrites a method's code.
struct ICorProfilerFunctionControl : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE SetCodegenFlags(DWORD flags) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE SetILFunctionBody(ULONG cbNewILMethodHeader,
                                                                LPCBYTE pbNewILMethodHeader) = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE
    SetILInstrumentedCodeMap(ULONG cILMapEntries, COR_IL_MAP rgILMapEntries[]) = 0;
};

constexpr IID IID_ICorProfilerObjectEnum = {
    0x2C6269BD, 0x2D13, 0x4321, {0xAE, 0x12, 0x66, 0x86, 0x36, 0x5F, 0xD6, 0xAF}};
constexpr IID IID_ICorProfilerFunctionEnum = {
    0xFF71301A, 0xB994, 0x429D, {0xA1, 0x0B, 0xB3, 0x45, 0xA6, 0x52, 0x80, 0xEF}};
constexpr IID IID_ICorProfilerModuleEnum = {
    0xB0266D75, 0x2081, 0x4493, {0xAF, 0x7F, 0x02, 0x8B, 0xA3, 0x4D, 0xB8, 0x91}};
constexpr IID IID_ICorProfilerThreadEnum = {
    0x571194F7, 0x25ED, 0x419F, {0xAA, 0x8B, 0x70, 0x16, 0xB3, 0x15, 0x97, 0x01}};
constexpr IID IID_ICorProfilerMethodEnum = {
    0xFCCEE788, 0x0088, 0x454B, {0xA8, 0x11, 0xC9, 0x9F, 0x29, 0x8D, 0x19, 0x42}};
constexpr IID IID_IMethodMalloc = {
    0xA0EFB28B, 0x6EE2, 0x4D7B, {0xB9, 0x83, 0xA7, 0x5E, 0xF7, 0xBE, 0xED, 0xB8}};
constexpr IID IID_ICorProfilerFunctionControl = {
    0xF0963021, 0xE1EA, 0x4732, {0x85, 0x81, 0xE0, 0x1B, 0x0B, 0xD3, 0xC0, 0xC6}};

// The runtime's notifications to the profiler, each marked with its published slot.
struct ICorProfilerCallback : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE Initialize(IUnknown* pICorProfilerInfoUnk) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE AppDomainCreationStarted(AppDomainID appDomainId) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE AppDomainCreationFinished(AppDomainID appDomainId,
                                                                        HRESULT hrStatus) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE AppDomainShutdownStarted(AppDomainID appDomainId) = 0;
    /* 8 */ virtual HRESULT STDMETHODCALLTYPE AppDomainShutdownFinished(AppDomainID appDomainId,
                                                                        HRESULT hrStatus) = 0;
    /* 9 */ virtual HRESULT STDMETHODCALLTYPE AssemblyLoadStarted(AssemblyID assemblyId) = 0;
    /* 10 */ virtual HRESULT STDMETHODCALLTYPE AssemblyLoadFinished(AssemblyID assemblyId,
                                                                    HRESULT hrStatus) = 0;
    /* 11 */ virtual HRESULT STDMETHODCALLTYPE AssemblyUnloadStarted(AssemblyID assemblyId) = 0;
    /* 12 */ virtual HRESULT STDMETHODCALLTYPE AssemblyUnloadFinished(AssemblyID assemblyId,
                                                                      HRESULT hrStatus) = 0;
    /* 13 */ virtual HRESULT STDMETHODCALLTYPE ModuleLoadStarted(ModuleID moduleId) = 0;
    /* 14 */ virtual HRESULT STDMETHODCALLTYPE ModuleLoadFinished(ModuleID moduleId,
                                                                  HRESULT hrStatus) = 0;
    /* 15 */ virtual HRESULT STDMETHODCALLTYPE ModuleUnloadStarted(ModuleID moduleId) = 0;
    /* 16 */ virtual HRESULT STDMETHODCALLTYPE ModuleUnloadFinished(ModuleID moduleId,
                                                                    HRESULT hrStatus) = 0;
    /* 17 */ virtual HRESULT STDMETHODCALLTYPE ModuleAttachedToAssembly(ModuleID moduleId,
                                                                        AssemblyID AssemblyId) = 0;
    /* 18 */ virtual HRESULT STDMETHODCALLTYPE ClassLoadStarted(ClassID classId) = 0;
    /* 19 */ virtual HRESULT STDMETHODCALLTYPE ClassLoadFinished(ClassID classId,
                                                                 HRESULT hrStatus) = 0;
    /* 20 */ virtual HRESULT STDMETHODCALLTYPE ClassUnloadStarted(ClassID classId) = 0;
    /* 21 */ virtual HRESULT STDMETHODCALLTYPE ClassUnloadFinished(ClassID classId,
                                                                   HRESULT hrStatus) = 0;
    /* 22 */ virtual HRESULT STDMETHODCALLTYPE FunctionUnloadStarted(FunctionID functionId) = 0;
    /* 23 */ virtual HRESULT STDMETHODCALLTYPE JITCompilationStarted(FunctionID functionId,
                                                                     BOOL fIsSafeToBlock) = 0;
    /* 24 */ virtual HRESULT STDMETHODCALLTYPE JITCompilationFinished(FunctionID functionId,
                                                                      HRESULT hrStatus,
                                                                      BOOL fIsSafeToBlock) = 0;
    /* 25 */ virtual HRESULT STDMETHODCALLTYPE
    JITCachedFunctionSearchStarted(FunctionID functionId, BOOL* pbUseCachedFunction) = 0;
    /* 26 */ virtual HRESULT STDMETHODCALLTYPE
    JITCachedFunctionSearchFinished(FunctionID functionId, COR_PRF_JIT_CACHE result) = 0;
    /* 27 */ virtual HRESULT STDMETHODCALLTYPE JITFunctionPitched(FunctionID functionId) = 0;
    /* 28 */ virtual HRESULT STDMETHODCALLTYPE JITInlining(FunctionID callerId, FunctionID calleeId,
                                                           BOOL* pfShouldInline) = 0;
    /* 29 */ virtual HRESULT STDMETHODCALLTYPE ThreadCreated(ThreadID threadId) = 0;
    /* 30 */ virtual HRESULT STDMETHODCALLTYPE ThreadDestroyed(ThreadID threadId) = 0;
    /* 31 */ virtual HRESULT STDMETHODCALLTYPE ThreadAssignedToOSThread(ThreadID managedThreadId,
                                                                        DWORD osThreadId) = 0;
    /* 32 */ virtual HRESULT STDMETHODCALLTYPE RemotingClientInvocationStarted() = 0;
    /* 33 */ virtual HRESULT STDMETHODCALLTYPE RemotingClientSendingMessage(GUID* pCookie,
                                                                            BOOL fIsAsync) = 0;
    /* 34 */ virtual HRESULT STDMETHODCALLTYPE RemotingClientReceivingReply(GUID* pCookie,
                                                                            BOOL fIsAsync) = 0;
    /* 35 */ virtual HRESULT STDMETHODCALLTYPE RemotingClientInvocationFinished() = 0;
    /* 36 */ virtual HRESULT STDMETHODCALLTYPE RemotingServerReceivingMessage(GUID* pCookie,
                                                                              BOOL fIsAsync) = 0;
    /* 37 */ virtual HRESULT STDMETHODCALLTYPE RemotingServerInvocationStarted() = 0;
    /* 38 */ virtual HRESULT STDMETHODCALLTYPE RemotingServerInvocationReturned() = 0;
    /* 39 */ virtual HRESULT STDMETHODCALLTYPE RemotingServerSendingReply(GUID* pCookie,
                                                                          BOOL fIsAsync) = 0;
    /* 40 */ virtual HRESULT STDMETHODCALLTYPE
    UnmanagedToManagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) = 0;
    /* 41 */ virtual HRESULT STDMETHODCALLTYPE
    ManagedToUnmanagedTransition(FunctionID functionId, COR_PRF_TRANSITION_REASON reason) = 0;
    /* 42 */ virtual HRESULT STDMETHODCALLTYPE
    RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) = 0;
    /* 43 */ virtual HRESULT STDMETHODCALLTYPE RuntimeSuspendFinished() = 0;
    /* 44 */ virtual HRESULT STDMETHODCALLTYPE RuntimeSuspendAborted() = 0;
    /* 45 */ virtual HRESULT STDMETHODCALLTYPE RuntimeResumeStarted() = 0;
    /* 46 */ virtual HRESULT STDMETHODCALLTYPE RuntimeResumeFinished() = 0;
    /* 47 */ virtual HRESULT STDMETHODCALLTYPE RuntimeThreadSuspended(ThreadID threadId) = 0;
    /* 48 */ virtual HRESULT STDMETHODCALLTYPE RuntimeThreadResumed(ThreadID threadId) = 0;
    /* 49 */ virtual HRESULT STDMETHODCALLTYPE MovedReferences(ULONG cMovedObjectIDRanges,
                                                               ObjectID oldObjectIDRangeStart[],
                                                               ObjectID newObjectIDRangeStart[],
                                                               ULONG cObjectIDRangeLength[]) = 0;
    /* 50 */ virtual HRESULT STDMETHODCALLTYPE ObjectAllocated(ObjectID objectId,
                                                               ClassID classId) = 0;
    /* 51 */ virtual HRESULT STDMETHODCALLTYPE ObjectsAllocatedByClass(ULONG cClassCount,
                                                                       ClassID classIds[],
                                                                       ULONG cObjects[]) = 0;
    /* 52 */ virtual HRESULT STDMETHODCALLTYPE ObjectReferences(ObjectID objectId, ClassID classId,
                                                                ULONG cObjectRefs,
                                                                ObjectID objectRefIds[]) = 0;
    /* 53 */ virtual HRESULT STDMETHODCALLTYPE RootReferences(ULONG cRootRefs,
                                                              ObjectID rootRefIds[]) = 0;
    /* 54 */ virtual HRESULT STDMETHODCALLTYPE ExceptionThrown(ObjectID thrownObjectId) = 0;
    /* 55 */ virtual HRESULT STDMETHODCALLTYPE
    ExceptionSearchFunctionEnter(FunctionID functionId) = 0;
    /* 56 */ virtual HRESULT STDMETHODCALLTYPE ExceptionSearchFunctionLeave() = 0;
    /* 57 */ virtual HRESULT STDMETHODCALLTYPE
    ExceptionSearchFilterEnter(FunctionID functionId) = 0;
    /* 58 */ virtual HRESULT STDMETHODCALLTYPE ExceptionSearchFilterLeave() = 0;
    /* 59 */ virtual HRESULT STDMETHODCALLTYPE
    ExceptionSearchCatcherFound(FunctionID functionId) = 0;
    /* 60 */ virtual HRESULT STDMETHODCALLTYPE ExceptionOSHandlerEnter(UINT_PTR unused) = 0;
    /* 61 */ virtual HRESULT STDMETHODCALLTYPE ExceptionOSHandlerLeave(UINT_PTR unused) = 0;
    /* 62 */ virtual HRESULT STDMETHODCALLTYPE
    ExceptionUnwindFunctionEnter(FunctionID functionId) = 0;
    /* 63 */ virtual HRESULT STDMETHODCALLTYPE ExceptionUnwindFunctionLeave() = 0;
    /* 64 */ virtual HRESULT STDMETHODCALLTYPE
    ExceptionUnwindFinallyEnter(FunctionID functionId) = 0;
    /* 65 */ virtual HRESULT STDMETHODCALLTYPE ExceptionUnwindFinallyLeave() = 0;
    /* 66 */ virtual HRESULT STDMETHODCALLTYPE ExceptionCatcherEnter(FunctionID functionId,
                                                                     ObjectID objectId) = 0;
    /* 67 */ virtual HRESULT STDMETHODCALLTYPE ExceptionCatcherLeave() = 0;
    /* 68 */ virtual HRESULT STDMETHODCALLTYPE COMClassicVTableCreated(ClassID wrappedClassId,
                                                                       REFGUID implementedIID,
                                                                       void* pVTable,
                                                                       ULONG cSlots) = 0;
    /* 69 */ virtual HRESULT STDMETHODCALLTYPE COMClassicVTableDestroyed(ClassID wrappedClassId,
                                                                         REFGUID implementedIID,
                                                                         void* pVTable) = 0;
    /* 70 */ virtual HRESULT STDMETHODCALLTYPE ExceptionCLRCatcherFound() = 0;
    /* 71 */ virtual HRESULT STDMETHODCALLTYPE ExceptionCLRCatcherExecute() = 0;
};
constexpr IID IID_ICorProfilerCallback = {
    0x176FBED1, 0xA55C, 0x4796, {0x98, 0xCA, 0xA9, 0xDA, 0x0E, 0xF8, 0x83, 0xE7}};

// Thread names, collections, surviving references, root kinds and handles.
struct ICorProfilerCallback2 : ICorProfilerCallback {
    /* 72 */ virtual HRESULT STDMETHODCALLTYPE ThreadNameChanged(ThreadID threadId, ULONG cchName,
                                                                 WCHAR name[]) = 0;
    /* 73 */ virtual HRESULT STDMETHODCALLTYPE GarbageCollectionStarted(
        int cGenerations, BOOL generationCollected[], COR_PRF_GC_REASON reason) = 0;
    /* 74 */ virtual HRESULT STDMETHODCALLTYPE
    SurvivingReferences(ULONG cSurvivingObjectIDRanges, ObjectID objectIDRangeStart[],
                        ULONG cObjectIDRangeLength[]) = 0;
    /* 75 */ virtual HRESULT STDMETHODCALLTYPE GarbageCollectionFinished() = 0;
    /* 76 */ virtual HRESULT STDMETHODCALLTYPE FinalizeableObjectQueued(DWORD finalizerFlags,
                                                                        ObjectID objectID) = 0;
    /* 77 */ virtual HRESULT STDMETHODCALLTYPE RootReferences2(ULONG cRootRefs,
                                                               ObjectID rootRefIds[],
                                                               COR_PRF_GC_ROOT_KIND rootKinds[],
                                                               COR_PRF_GC_ROOT_FLAGS rootFlags[],
                                                               UINT_PTR rootIds[]) = 0;
    /* 78 */ virtual HRESULT STDMETHODCALLTYPE HandleCreated(GCHandleID handleId,
                                                             ObjectID initialObjectId) = 0;
    /* 79 */ virtual HRESULT STDMETHODCALLTYPE HandleDestroyed(GCHandleID handleId) = 0;
};
constexpr IID IID_ICorProfilerCallback2 = {
    0x8A8CC829, 0xCCF2, 0x49FE, {0xBB, 0xAE, 0x0F, 0x02, 0x22, 0x28, 0x07, 0x1A}};

// Attach and detach notifications. A runtime started with a profiler does not call them, but
// the object must answer for this interface unless version-2 profilers are allowed.
struct ICorProfilerCallback3 : ICorProfilerCallback2 {
    /* 80 */ virtual HRESULT STDMETHODCALLTYPE InitializeForAttach(IUnknown* pCorProfilerInfoUnk,
                                                                   void* pvClientData,
                                                                   UINT cbClientData) = 0;
    /* 81 */ virtual HRESULT STDMETHODCALLTYPE ProfilerAttachComplete() = 0;
    /* 82 */ virtual HRESULT STDMETHODCALLTYPE ProfilerDetachSucceeded() = 0;
};
constexpr IID IID_ICorProfilerCallback3 = {
    0x4FD2ED52, 0x7731, 0x4B8D, {0x94, 0x69, 0x03, 0xD2, 0xCC, 0x30, 0x86, 0xC5}};

// The runtime's information and control calls, each marked with its published slot.
struct ICorProfilerInfo : IUnknown {
    /* 3 */ virtual HRESULT STDMETHODCALLTYPE GetClassFromObject(ObjectID objectId,
                                                                 ClassID* pClassId) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE GetClassFromToken(ModuleID moduleId,
                                                                mdTypeDef typeDef,
                                                                ClassID* pClassId) = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE GetCodeInfo(FunctionID functionId, LPCBYTE* pStart,
                                                          ULONG* pcSize) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE GetEventMask(DWORD* pdwEvents) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionFromIP(LPCBYTE ip,
                                                                FunctionID* pFunctionId) = 0;
    /* 8 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionFromToken(ModuleID moduleId, mdToken token,
                                                                   FunctionID* pFunctionId) = 0;
    /* 9 */ virtual HRESULT STDMETHODCALLTYPE GetHandleFromThread(ThreadID threadId,
                                                                  HANDLE* phThread) = 0;
    /* 10 */ virtual HRESULT STDMETHODCALLTYPE GetObjectSize(ObjectID objectId, ULONG* pcSize) = 0;
    /* 11 */ virtual HRESULT STDMETHODCALLTYPE IsArrayClass(ClassID classId,
                                                            CorElementType* pBaseElemType,
                                                            ClassID* pBaseClassId,
                                                            ULONG* pcRank) = 0;
    /* 12 */ virtual HRESULT STDMETHODCALLTYPE GetThreadInfo(ThreadID threadId,
                                                             DWORD* pdwWin32ThreadId) = 0;
    /* 13 */ virtual HRESULT STDMETHODCALLTYPE GetCurrentThreadID(ThreadID* pThreadId) = 0;
    /* 14 */ virtual HRESULT STDMETHODCALLTYPE GetClassIDInfo(ClassID classId, ModuleID* pModuleId,
                                                              mdTypeDef* pTypeDefToken) = 0;
    /* 15 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionInfo(FunctionID functionId,
                                                               ClassID* pClassId,
                                                               ModuleID* pModuleId,
                                                               mdToken* pToken) = 0;
    /* 16 */ virtual HRESULT STDMETHODCALLTYPE SetEventMask(DWORD dwEvents) = 0;
    /* 17 */ virtual HRESULT STDMETHODCALLTYPE SetEnterLeaveFunctionHooks(
        FunctionEnter* pFuncEnter, FunctionLeave* pFuncLeave, FunctionTailcall* pFuncTailcall) = 0;
    /* 18 */ virtual HRESULT STDMETHODCALLTYPE SetFunctionIDMapper(FunctionIDMapper* pFunc) = 0;
    /* 19 */ virtual HRESULT STDMETHODCALLTYPE GetTokenAndMetaDataFromFunction(
        FunctionID functionId, REFIID riid, IUnknown** ppImport, mdToken* pToken) = 0;
    /* 20 */ virtual HRESULT STDMETHODCALLTYPE GetModuleInfo(ModuleID moduleId,
                                                             LPCBYTE* ppBaseLoadAddress,
                                                             ULONG cchName, ULONG* pcchName,
                                                             WCHAR szName[],
                                                             AssemblyID* pAssemblyId) = 0;
    /* 21 */ virtual HRESULT STDMETHODCALLTYPE GetModuleMetaData(ModuleID moduleId,
                                                                 DWORD dwOpenFlags, REFIID riid,
                                                                 IUnknown** ppOut) = 0;
    /* 22 */ virtual HRESULT STDMETHODCALLTYPE GetILFunctionBody(ModuleID moduleId,
                                                                 mdMethodDef methodId,
                                                                 LPCBYTE* ppMethodHeader,
                                                                 ULONG* pcbMethodSize) = 0;
    /* 23 */ virtual HRESULT STDMETHODCALLTYPE
    GetILFunctionBodyAllocator(ModuleID moduleId, IMethodMalloc** ppMalloc) = 0;
    /* 24 */ virtual HRESULT STDMETHODCALLTYPE SetILFunctionBody(ModuleID moduleId,
                                                                 mdMethodDef methodid,
                                                                 LPCBYTE pbNewILMethodHeader) = 0;
    /* 25 */ virtual HRESULT STDMETHODCALLTYPE GetAppDomainInfo(AppDomainID appDomainId,
                                                                ULONG cchName, ULONG* pcchName,
                                                                WCHAR szName[],
                                                                ProcessID* pProcessId) = 0;
    /* 26 */ virtual HRESULT STDMETHODCALLTYPE GetAssemblyInfo(AssemblyID assemblyId, ULONG cchName,
                                                               ULONG* pcchName, WCHAR szName[],
                                                               AppDomainID* pAppDomainId,
                                                               ModuleID* pModuleId) = 0;
    /* 27 */ virtual HRESULT STDMETHODCALLTYPE SetFunctionReJIT(FunctionID functionId) = 0;
    /* 28 */ virtual HRESULT STDMETHODCALLTYPE ForceGC() = 0;
    /* 29 */ virtual HRESULT STDMETHODCALLTYPE
    SetILInstrumentedCodeMap(FunctionID functionId, BOOL fStartJit, ULONG cILMapEntries,
                             COR_IL_MAP rgILMapEntries[]) = 0;
    /* 30 */ virtual HRESULT STDMETHODCALLTYPE GetInprocInspectionInterface(IUnknown** ppicd) = 0;
    /* 31 */ virtual HRESULT STDMETHODCALLTYPE GetInprocInspectionIThisThread(IUnknown** ppicd) = 0;
    /* 32 */ virtual HRESULT STDMETHODCALLTYPE GetThreadContext(ThreadID threadId,
                                                                ContextID* pContextId) = 0;
    /* 33 */ virtual HRESULT STDMETHODCALLTYPE BeginInprocDebugging(BOOL fThisThreadOnly,
                                                                    DWORD* pdwProfilerContext) = 0;
    /* 34 */ virtual HRESULT STDMETHODCALLTYPE EndInprocDebugging(DWORD dwProfilerContext) = 0;
    /* 35 */ virtual HRESULT STDMETHODCALLTYPE GetILToNativeMapping(
        FunctionID functionId, ULONG32 cMap, ULONG32* pcMap, COR_DEBUG_IL_TO_NATIVE_MAP map[]) = 0;
};
constexpr IID IID_ICorProfilerInfo = {
    0x28B5557D, 0x3F3F, 0x48B4, {0x90, 0xB2, 0x5F, 0x9E, 0xEA, 0x2F, 0x6C, 0x48}};

// Stack walks, version-2 hooks, class layouts and generation bounds.
struct ICorProfilerInfo2 : ICorProfilerInfo {
    /* 36 */ virtual HRESULT STDMETHODCALLTYPE DoStackSnapshot(ThreadID thread,
                                                               StackSnapshotCallback* callback,
                                                               ULONG32 infoFlags, void* clientData,
                                                               BYTE context[],
                                                               ULONG32 contextSize) = 0;
    /* 37 */ virtual HRESULT STDMETHODCALLTYPE
    SetEnterLeaveFunctionHooks2(FunctionEnter2* pFuncEnter, FunctionLeave2* pFuncLeave,
                                FunctionTailcall2* pFuncTailcall) = 0;
    /* 38 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionInfo2(
        FunctionID funcId, COR_PRF_FRAME_INFO frameInfo, ClassID* pClassId, ModuleID* pModuleId,
        mdToken* pToken, ULONG32 cTypeArgs, ULONG32* pcTypeArgs, ClassID typeArgs[]) = 0;
    /* 39 */ virtual HRESULT STDMETHODCALLTYPE GetStringLayout(ULONG* pBufferLengthOffset,
                                                               ULONG* pStringLengthOffset,
                                                               ULONG* pBufferOffset) = 0;
    /* 40 */ virtual HRESULT STDMETHODCALLTYPE GetClassLayout(ClassID classID,
                                                              COR_FIELD_OFFSET rFieldOffset[],
                                                              ULONG cFieldOffset,
                                                              ULONG* pcFieldOffset,
                                                              ULONG* pulClassSize) = 0;
    /* 41 */ virtual HRESULT STDMETHODCALLTYPE GetClassIDInfo2(
        ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken, ClassID* pParentClassId,
        ULONG32 cNumTypeArgs, ULONG32* pcNumTypeArgs, ClassID typeArgs[]) = 0;
    /* 42 */ virtual HRESULT STDMETHODCALLTYPE GetCodeInfo2(FunctionID functionID,
                                                            ULONG32 cCodeInfos,
                                                            ULONG32* pcCodeInfos,
                                                            COR_PRF_CODE_INFO codeInfos[]) = 0;
    /* 43 */ virtual HRESULT STDMETHODCALLTYPE GetClassFromTokenAndTypeArgs(ModuleID moduleID,
                                                                            mdTypeDef typeDef,
                                                                            ULONG32 cTypeArgs,
                                                                            ClassID typeArgs[],
                                                                            ClassID* pClassID) = 0;
    /* 44 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionFromTokenAndTypeArgs(
        ModuleID moduleID, mdMethodDef funcDef, ClassID classId, ULONG32 cTypeArgs,
        ClassID typeArgs[], FunctionID* pFunctionID) = 0;
    /* 45 */ virtual HRESULT STDMETHODCALLTYPE
    EnumModuleFrozenObjects(ModuleID moduleID, ICorProfilerObjectEnum** ppEnum) = 0;
    /* 46 */ virtual HRESULT STDMETHODCALLTYPE GetArrayObjectInfo(ObjectID objectId,
                                                                  ULONG32 cDimensions,
                                                                  ULONG32 pDimensionSizes[],
                                                                  int pDimensionLowerBounds[],
                                                                  BYTE** ppData) = 0;
    /* 47 */ virtual HRESULT STDMETHODCALLTYPE GetBoxClassLayout(ClassID classId,
                                                                 ULONG32* pBufferOffset) = 0;
    /* 48 */ virtual HRESULT STDMETHODCALLTYPE GetThreadAppDomain(ThreadID threadId,
                                                                  AppDomainID* pAppDomainId) = 0;
    /* 49 */ virtual HRESULT STDMETHODCALLTYPE GetRVAStaticAddress(ClassID classId,
                                                                   mdFieldDef fieldToken,
                                                                   void** ppAddress) = 0;
    /* 50 */ virtual HRESULT STDMETHODCALLTYPE GetAppDomainStaticAddress(ClassID classId,
                                                                         mdFieldDef fieldToken,
                                                                         AppDomainID appDomainId,
                                                                         void** ppAddress) = 0;
    /* 51 */ virtual HRESULT STDMETHODCALLTYPE GetThreadStaticAddress(ClassID classId,
                                                                      mdFieldDef fieldToken,
                                                                      ThreadID threadId,
                                                                      void** ppAddress) = 0;
    /* 52 */ virtual HRESULT STDMETHODCALLTYPE GetContextStaticAddress(ClassID classId,
                                                                       mdFieldDef fieldToken,
                                                                       ContextID contextId,
                                                                       void** ppAddress) = 0;
    /* 53 */ virtual HRESULT STDMETHODCALLTYPE
    GetStaticFieldInfo(ClassID classId, mdFieldDef fieldToken, COR_PRF_STATIC_TYPE* pFieldInfo) = 0;
    /* 54 */ virtual HRESULT STDMETHODCALLTYPE GetGenerationBounds(
        ULONG cObjectRanges, ULONG* pcObjectRanges, COR_PRF_GC_GENERATION_RANGE ranges[]) = 0;
    /* 55 */ virtual HRESULT STDMETHODCALLTYPE
    GetObjectGeneration(ObjectID objectId, COR_PRF_GC_GENERATION_RANGE* range) = 0;
    /* 56 */ virtual HRESULT STDMETHODCALLTYPE
    GetNotifiedExceptionClauseInfo(COR_PRF_EX_CLAUSE_INFO* pinfo) = 0;
};
constexpr IID IID_ICorProfilerInfo2 = {
    0xCC0935CD, 0xA518, 0x487D, {0xB0, 0xBB, 0xA9, 0x32, 0x14, 0xE6, 0x54, 0x78}};

// Runtime information, enumerations of functions and modules, version-3 hooks.
struct ICorProfilerInfo3 : ICorProfilerInfo2 {
    /* 57 */ virtual HRESULT STDMETHODCALLTYPE
    EnumJITedFunctions(ICorProfilerFunctionEnum** ppEnum) = 0;
    /* 58 */ virtual HRESULT STDMETHODCALLTYPE
    RequestProfilerDetach(DWORD dwExpectedCompletionMilliseconds) = 0;
    /* 59 */ virtual HRESULT STDMETHODCALLTYPE SetFunctionIDMapper2(FunctionIDMapper2* pFunc,
                                                                    void* clientData) = 0;
    /* 60 */ virtual HRESULT STDMETHODCALLTYPE GetStringLayout2(ULONG* pStringLengthOffset,
                                                                ULONG* pBufferOffset) = 0;
    /* 61 */ virtual HRESULT STDMETHODCALLTYPE
    SetEnterLeaveFunctionHooks3(FunctionEnter3* pFuncEnter3, FunctionLeave3* pFuncLeave3,
                                FunctionTailcall3* pFuncTailcall3) = 0;
    /* 62 */ virtual HRESULT STDMETHODCALLTYPE SetEnterLeaveFunctionHooks3WithInfo(
        FunctionEnter3WithInfo* pFuncEnter3WithInfo, FunctionLeave3WithInfo* pFuncLeave3WithInfo,
        FunctionTailcall3WithInfo* pFuncTailcall3WithInfo) = 0;
    /* 63 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionEnter3Info(
        FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo,
        ULONG* pcbArgumentInfo, COR_PRF_FUNCTION_ARGUMENT_INFO* pArgumentInfo) = 0;
    /* 64 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionLeave3Info(
        FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo,
        COR_PRF_FUNCTION_ARGUMENT_RANGE* pRetvalRange) = 0;
    /* 65 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionTailcall3Info(
        FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo) = 0;
    /* 66 */ virtual HRESULT STDMETHODCALLTYPE EnumModules(ICorProfilerModuleEnum** ppEnum) = 0;
    /* 67 */ virtual HRESULT STDMETHODCALLTYPE GetRuntimeInformation(
        USHORT* pClrInstanceId, COR_PRF_RUNTIME_TYPE* pRuntimeType, USHORT* pMajorVersion,
        USHORT* pMinorVersion, USHORT* pBuildNumber, USHORT* pQFEVersion, ULONG cchVersionString,
        ULONG* pcchVersionString, WCHAR szVersionString[]) = 0;
    /* 68 */ virtual HRESULT STDMETHODCALLTYPE GetThreadStaticAddress2(ClassID classId,
                                                                       mdFieldDef fieldToken,
                                                                       AppDomainID appDomainId,
                                                                       ThreadID threadId,
                                                                       void** ppAddress) = 0;
    /* 69 */ virtual HRESULT STDMETHODCALLTYPE
    GetAppDomainsContainingModule(ModuleID moduleId, ULONG32 cAppDomainIds, ULONG32* pcAppDomainIds,
                                  AppDomainID appDomainIds[]) = 0;
    /* 70 */ virtual HRESULT STDMETHODCALLTYPE
    GetModuleInfo2(ModuleID moduleId, LPCBYTE* ppBaseLoadAddress, ULONG cchName, ULONG* pcchName,
                   WCHAR szName[], AssemblyID* pAssemblyId, DWORD* pdwModuleFlags) = 0;
};
constexpr IID IID_ICorProfilerInfo3 = {
    0xB555ED4F, 0x452A, 0x4E54, {0x8B, 0x39, 0xB5, 0x36, 0x0B, 0xAD, 0x32, 0xA0}};

// Thread enumeration, rewriting support, 64-bit object sizes.
struct ICorProfilerInfo4 : ICorProfilerInfo3 {
    /* 71 */ virtual HRESULT STDMETHODCALLTYPE EnumThreads(ICorProfilerThreadEnum** ppEnum) = 0;
    /* 72 */ virtual HRESULT STDMETHODCALLTYPE InitializeCurrentThread() = 0;
    /* 73 */ virtual HRESULT STDMETHODCALLTYPE RequestReJIT(ULONG cFunctions, ModuleID moduleIds[],
                                                            mdMethodDef methodIds[]) = 0;
    /* 74 */ virtual HRESULT STDMETHODCALLTYPE RequestRevert(ULONG cFunctions, ModuleID moduleIds[],
                                                             mdMethodDef methodIds[],
                                                             HRESULT status[]) = 0;
    /* 75 */ virtual HRESULT STDMETHODCALLTYPE GetCodeInfo3(FunctionID functionID, ReJITID reJitId,
                                                            ULONG32 cCodeInfos,
                                                            ULONG32* pcCodeInfos,
                                                            COR_PRF_CODE_INFO codeInfos[]) = 0;
    /* 76 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionFromIP2(LPCBYTE ip,
                                                                  FunctionID* pFunctionId,
                                                                  ReJITID* pReJitId) = 0;
    /* 77 */ virtual HRESULT STDMETHODCALLTYPE GetReJITIDs(FunctionID functionId, ULONG cReJitIds,
                                                           ULONG* pcReJitIds,
                                                           ReJITID reJitIds[]) = 0;
    /* 78 */ virtual HRESULT STDMETHODCALLTYPE
    GetILToNativeMapping2(FunctionID functionId, ReJITID reJitId, ULONG32 cMap, ULONG32* pcMap,
                          COR_DEBUG_IL_TO_NATIVE_MAP map[]) = 0;
    /* 79 */ virtual HRESULT STDMETHODCALLTYPE
    EnumJITedFunctions2(ICorProfilerFunctionEnum** ppEnum) = 0;
    /* 80 */ virtual HRESULT STDMETHODCALLTYPE GetObjectSize2(ObjectID objectId,
                                                              SIZE_T* pcSize) = 0;
};
constexpr IID IID_ICorProfilerInfo4 = {
    0x0D8FDCAA, 0x6257, 0x47BF, {0xB1, 0xBF, 0x94, 0xDA, 0xC8, 0x84, 0x66, 0xEE}};

// The 64-bit event mask.
struct ICorProfilerInfo5 : ICorProfilerInfo4 {
    /* 81 */ virtual HRESULT STDMETHODCALLTYPE GetEventMask2(DWORD* pdwEventsLow,
                                                             DWORD* pdwEventsHigh) = 0;
    /* 82 */ virtual HRESULT STDMETHODCALLTYPE SetEventMask2(DWORD dwEventsLow,
                                                             DWORD dwEventsHigh) = 0;
};
constexpr IID IID_ICorProfilerInfo5 = {
    0x07602928, 0xCE38, 0x4B83, {0x81, 0xE7, 0x74, 0xAD, 0xAF, 0x78, 0x12, 0x14}};

struct ICorProfilerInfo6 : ICorProfilerInfo5 {
    /* 83 */ virtual HRESULT STDMETHODCALLTYPE EnumNgenModuleMethodsInliningThisMethod(
        ModuleID inlinersModuleId, ModuleID inlineeModuleId, mdMethodDef inlineeMethodId,
        BOOL* incompleteData, ICorProfilerMethodEnum** ppEnum) = 0;
};
constexpr IID IID_ICorProfilerInfo6 = {
    0xF30A070D, 0xBFFB, 0x46A7, {0xB1, 0xD8, 0x87, 0x81, 0xEF, 0x7B, 0x69, 0x8A}};

// In-memory symbols.
struct ICorProfilerInfo7 : ICorProfilerInfo6 {
    /* 84 */ virtual HRESULT STDMETHODCALLTYPE ApplyMetaData(ModuleID moduleId) = 0;
    /* 85 */ virtual HRESULT STDMETHODCALLTYPE
    GetInMemorySymbolsLength(ModuleID moduleId, DWORD* pCountSymbolBytes) = 0;
    /* 86 */ virtual HRESULT STDMETHODCALLTYPE
    ReadInMemorySymbols(ModuleID moduleId, DWORD symbolsReadOffset, BYTE* pSymbolBytes,
                        DWORD countSymbolBytes, DWORD* pCountSymbolBytesRead) = 0;
};
constexpr IID IID_ICorProfilerInfo7 = {
    0x9AEECC0D, 0x63E0, 0x4187, {0x8C, 0x00, 0xE3, 0x12, 0xF5, 0x03, 0xF6, 0x63}};

// Dynamic methods.
struct ICorProfilerInfo8 : ICorProfilerInfo7 {
    /* 87 */ virtual HRESULT STDMETHODCALLTYPE IsFunctionDynamic(FunctionID functionId,
                                                                 BOOL* isDynamic) = 0;
    /* 88 */ virtual HRESULT STDMETHODCALLTYPE GetFunctionFromIP3(LPCBYTE ip,
                                                                  FunctionID* functionId,
                                                                  ReJITID* pReJitId) = 0;
    /* 89 */ virtual HRESULT STDMETHODCALLTYPE
    GetDynamicFunctionInfo(FunctionID functionId, ModuleID* moduleId, PCCOR_SIGNATURE* ppvSig,
                           ULONG* pbSig, ULONG cchName, ULONG* pcchName, WCHAR wszName[]) = 0;
};
constexpr IID IID_ICorProfilerInfo8 = {
    0xC5AC80A6, 0x782E, 0x4716, {0x80, 0x44, 0x39, 0x59, 0x8C, 0x60, 0xCF, 0xBF}};

// Code addresses of rewritten methods.
struct ICorProfilerInfo9 : ICorProfilerInfo8 {
    /* 90 */ virtual HRESULT STDMETHODCALLTYPE
    GetNativeCodeStartAddresses(FunctionID functionID, ReJITID reJitId, ULONG32 cCodeStartAddresses,
                                ULONG32* pcCodeStartAddresses, UINT_PTR codeStartAddresses[]) = 0;
    /* 91 */ virtual HRESULT STDMETHODCALLTYPE
    GetILToNativeMapping3(UINT_PTR pNativeCodeStartAddress, ULONG32 cMap, ULONG32* pcMap,
                          COR_DEBUG_IL_TO_NATIVE_MAP map[]) = 0;
    /* 92 */ virtual HRESULT STDMETHODCALLTYPE GetCodeInfo4(UINT_PTR pNativeCodeStartAddress,
                                                            ULONG32 cCodeInfos,
                                                            ULONG32* pcCodeInfos,
                                                            COR_PRF_CODE_INFO codeInfos[]) = 0;
};
constexpr IID IID_ICorProfilerInfo9 = {
    0x008170DB, 0xF8CC, 0x4796, {0x9A, 0x51, 0xDC, 0x8A, 0xA0, 0xB4, 0x70, 0x12}};

// Object references, frozen objects, and suspending the runtime from a profiler thread (the
// only way to walk another thread's stack where threads cannot be suspended safely).
struct ICorProfilerInfo10 : ICorProfilerInfo9 {
    /* 93 */ virtual HRESULT STDMETHODCALLTYPE EnumerateObjectReferences(
        ObjectID objectId, ObjectReferenceCallback callback, void* clientData) = 0;
    /* 94 */ virtual HRESULT STDMETHODCALLTYPE IsFrozenObject(ObjectID objectId,
                                                              BOOL* pbFrozen) = 0;
    /* 95 */ virtual HRESULT STDMETHODCALLTYPE GetLOHObjectSizeThreshold(DWORD* pThreshold) = 0;
    /* 96 */ virtual HRESULT STDMETHODCALLTYPE RequestReJITWithInliners(
        DWORD dwRejitFlags, ULONG cFunctions, ModuleID moduleIds[], mdMethodDef methodIds[]) = 0;
    /* 97 */ virtual HRESULT STDMETHODCALLTYPE SuspendRuntime() = 0;
    /* 98 */ virtual HRESULT STDMETHODCALLTYPE ResumeRuntime() = 0;
};
constexpr IID IID_ICorProfilerInfo10 = {
    0x2F1B5152, 0xC869, 0x40C9, {0xAA, 0x5F, 0x3A, 0xBE, 0x02, 0x6B, 0xD7, 0x20}};

// Later versions, which this program does not implement or call; a profiler answers
// E_NOINTERFACE for the callback versions it lacks.
constexpr IID IID_ICorProfilerCallback4 = {
    0x7B63B2E3, 0x107D, 0x4D48, {0xB2, 0xF6, 0xF6, 0x1E, 0x22, 0x94, 0x70, 0xD2}};
constexpr IID IID_ICorProfilerCallback5 = {
    0x8DFBA405, 0x8C9F, 0x45F8, {0xBF, 0xFA, 0x83, 0xB1, 0x4C, 0xEF, 0x78, 0xB5}};
constexpr IID IID_ICorProfilerCallback6 = {
    0xFC13DF4B, 0x4448, 0x4F4F, {0x95, 0x0C, 0xBA, 0x8D, 0x19, 0xD0, 0x0C, 0x36}};
constexpr IID IID_ICorProfilerCallback7 = {
    0xF76A2DBA, 0x1D52, 0x4539, {0x86, 0x6C, 0x2A, 0xA5, 0x18, 0xF9, 0xEF, 0xC3}};
constexpr IID IID_ICorProfilerCallback8 = {
    0x5BED9B15, 0xC079, 0x4D47, {0xBF, 0xE2, 0x21, 0x5A, 0x14, 0x0C, 0x07, 0xE0}};
constexpr IID IID_ICorProfilerCallback9 = {
    0x27583EC3, 0xC8F5, 0x482F, {0x80, 0x52, 0x19, 0x4B, 0x8C, 0xE4, 0x70, 0x5A}};
constexpr IID IID_ICorProfilerCallback10 = {
    0xCEC5B60E, 0xC69C, 0x495F, {0x87, 0xF6, 0x84, 0xD2, 0x8E, 0xE1, 0x6F, 0xFB}};
constexpr IID IID_ICorProfilerCallback11 = {
    0x42350846, 0xAAED, 0x47F7, {0xB1, 0x28, 0xFD, 0x0C, 0x98, 0x88, 0x1C, 0xDE}};
constexpr IID IID_ICorProfilerInfo11 = {
    0x06398876, 0x8987, 0x4154, {0xB6, 0x21, 0x40, 0xA0, 0x0D, 0x6E, 0x4D, 0x04}};
constexpr IID IID_ICorProfilerInfo12 = {
    0x27B24CCD, 0x1CB1, 0x47C5, {0x96, 0xEE, 0x98, 0x19, 0x0D, 0xC3, 0x09, 0x59}};
