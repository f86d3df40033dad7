// What the enter/leave entry stubs call: one C++ function per hook kind and the context it is
// called with. The tracing profiler fills one in at start-up and publishes it with
// HookStubs::SetTargets; the stubs then call target(pContext, id) for every hook, where id is the
// client id the function id mapper returned (version-3 fast path) or the FunctionID (version-1 and
// version-2 hooks).
//
// A target is an ordinary C++ function of the platform's default convention. It may use any
// register the convention lets it use: the stubs save and restore everything the managed caller
// may hold. It must not throw, block for long, or call managed code.
#pragma once

#include <cstddef>

#include "Platform/Types.h"

struct HookTargets {
    using Target = void (*)(void* pContext, UINT_PTR id);

    void* pContext;
    Target pEnter;
    Target pLeave;
    Target pTailcall;
};

// The stubs read the fields at these offsets.
static_assert(offsetof(HookTargets, pContext) == 0 * sizeof(void*));
static_assert(offsetof(HookTargets, pEnter) == 1 * sizeof(void*));
static_assert(offsetof(HookTargets, pLeave) == 2 * sizeof(void*));
static_assert(offsetof(HookTargets, pTailcall) == 3 * sizeof(void*));
