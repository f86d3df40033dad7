// The enter/leave/tailcall entry stubs the runtime calls, and the one process-wide set of targets
// they forward to. The stubs keep the hook contract of the runtime's calling code (every register
// the managed caller may hold comes back unchanged; on the 32-bit build the stub also removes its
// arguments), so the targets can be ordinary C++ functions.
//
// Use: fill a HookTargets that lives as long as the process, SetTargets(&targets), then hand the
// runtime one stub set: FastPathHooks() with SetEnterLeaveFunctionHooks3 and a function id mapper
// whose result is the id the targets receive, else Version2Hooks() or OldHooks(), which pass the
// FunctionID on.
#pragma once

#include "Platform/Cor/CorProfiler.h"
#include "Profiler/Performance/Tracing/HookTargets.h"

namespace HookStubs {

// How much of each vector register the x86-64 fast-path stubs save.
enum class VectorWidth {
    Sse,     // xmm0-xmm15, 16 bytes each
    Avx,     // ymm0-ymm15, 32 bytes each
    Avx512,  // zmm0-zmm15, 64 bytes each
};

struct FastPath {
    FunctionEnter3* pEnter;
    FunctionLeave3* pLeave;
    FunctionTailcall3* pTailcall;
};

struct Version2 {
    FunctionEnter2* pEnter;
    FunctionLeave2* pLeave;
    FunctionTailcall2* pTailcall;
};

struct Old {
    FunctionEnter* pEnter;
    FunctionLeave* pLeave;
    FunctionTailcall* pTailcall;
};

// Publishes the targets every stub calls from now on; null makes every stub return at once. The
// object must stay valid and unchanged while any hook may still run (for the process's life).
void SetTargets(const HookTargets* pTargets);
const HookTargets* GetTargets();

// Whether this build has fast-path stubs (x86-64 only).
bool HasFastPath();
// The widest vector state the processor and the operating system have switched on.
VectorWidth DetectVectorWidth();
const char* VectorWidthName(VectorWidth width);
// The fast-path stubs saving the detected width, or the given one (which must not be wider than
// the detected one). All null where the build has none.
FastPath FastPathHooks();
FastPath FastPathHooks(VectorWidth width);

// Version-2 and old hooks. On x86-64 the runtime calls these through its own register-saving code,
// so they are plain functions; on the 32-bit build they are register-preserving stubs.
Version2 Version2Hooks();
Old OldHooks();

}  // namespace HookStubs
