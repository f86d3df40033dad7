#include "Profiler/Performance/Tracing/HookStubs.h"

#include <atomic>
#include <cstdint>

// Read by the assembly stubs with a plain load (which on x86 orders like an acquire load).
extern "C" __attribute__((visibility("hidden"))) std::atomic<const HookTargets*> g_pHookTargets;
std::atomic<const HookTargets*> g_pHookTargets{nullptr};
static_assert(sizeof(g_pHookTargets) == sizeof(void*) &&
              std::atomic<const HookTargets*>::is_always_lock_free);

// The assembly stubs (HookStubsX64.S, HookStubsX86.S).
#define QV_STUB extern "C" __attribute__((visibility("hidden"))) void HOOKCALLTYPE
#if defined(__x86_64__)
QV_STUB QvEnter3Sse(FunctionIDOrClientID);
QV_STUB QvLeave3Sse(FunctionIDOrClientID);
QV_STUB QvTailcall3Sse(FunctionIDOrClientID);
QV_STUB QvEnter3Avx(FunctionIDOrClientID);
QV_STUB QvLeave3Avx(FunctionIDOrClientID);
QV_STUB QvTailcall3Avx(FunctionIDOrClientID);
QV_STUB QvEnter3Avx512(FunctionIDOrClientID);
QV_STUB QvLeave3Avx512(FunctionIDOrClientID);
QV_STUB QvTailcall3Avx512(FunctionIDOrClientID);
#elif defined(__i386__)
QV_STUB QvEnter2Fx(FunctionID, UINT_PTR, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_INFO*);
QV_STUB QvLeave2Fx(FunctionID, UINT_PTR, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_RANGE*);
QV_STUB QvTailcall2Fx(FunctionID, UINT_PTR, COR_PRF_FRAME_INFO);
QV_STUB QvEnterFx(FunctionID);
QV_STUB QvLeaveFx(FunctionID);
QV_STUB QvTailcallFx(FunctionID);
QV_STUB QvEnter2X87(FunctionID, UINT_PTR, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_INFO*);
QV_STUB QvLeave2X87(FunctionID, UINT_PTR, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_RANGE*);
QV_STUB QvTailcall2X87(FunctionID, UINT_PTR, COR_PRF_FRAME_INFO);
QV_STUB QvEnterX87(FunctionID);
QV_STUB QvLeaveX87(FunctionID);
QV_STUB QvTailcallX87(FunctionID);
#else
#error "Entry stubs exist for x86-64 and 32-bit x86 only"
#endif
#undef QV_STUB

namespace {

struct CpuidResult {
    uint32_t eax, ebx, ecx, edx;
};

CpuidResult Cpuid(uint32_t leaf, uint32_t subleaf) {
    CpuidResult r;
    asm volatile("cpuid"
                 : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx)
                 : "a"(leaf), "c"(subleaf));
    return r;
}

// The state components the operating system saves on context switches (XCR0).
uint64_t EnabledStateComponents() {
    uint32_t low, high;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
}

#if defined(__x86_64__)
template <HookTargets::Target HookTargets::*Member>
void CallTarget(UINT_PTR id) {
    // Published once; the object stays valid after a withdrawal, so one read suffices.
    if (const HookTargets* pTargets = g_pHookTargets.load(std::memory_order_acquire)) {
        (pTargets->*Member)(pTargets->pContext, id);
    }
}

void HOOKCALLTYPE Enter2(FunctionID functionId, UINT_PTR, COR_PRF_FRAME_INFO,
                         COR_PRF_FUNCTION_ARGUMENT_INFO*) {
    CallTarget<&HookTargets::pEnter>(functionId);
}
void HOOKCALLTYPE Leave2(FunctionID functionId, UINT_PTR, COR_PRF_FRAME_INFO,
                         COR_PRF_FUNCTION_ARGUMENT_RANGE*) {
    CallTarget<&HookTargets::pLeave>(functionId);
}
void HOOKCALLTYPE Tailcall2(FunctionID functionId, UINT_PTR, COR_PRF_FRAME_INFO) {
    CallTarget<&HookTargets::pTailcall>(functionId);
}
void HOOKCALLTYPE Enter(FunctionID functionId) {
    CallTarget<&HookTargets::pEnter>(functionId);
}
void HOOKCALLTYPE Leave(FunctionID functionId) {
    CallTarget<&HookTargets::pLeave>(functionId);
}
void HOOKCALLTYPE Tailcall(FunctionID functionId) {
    CallTarget<&HookTargets::pTailcall>(functionId);
}
#else
bool HasFxsave() {
    constexpr uint32_t FXSR = 1u << 24;
    return (Cpuid(1, 0).edx & FXSR) != 0;
}
#endif

}  // namespace

namespace HookStubs {

void SetTargets(const HookTargets* pTargets) {
    g_pHookTargets.store(pTargets, std::memory_order_release);
}

const HookTargets* GetTargets() {
    return g_pHookTargets.load(std::memory_order_acquire);
}

bool HasFastPath() {
#if defined(__x86_64__)
    return true;
#else
    return false;
#endif
}

VectorWidth DetectVectorWidth() {
    constexpr uint32_t OSXSAVE = 1u << 27;
    constexpr uint32_t AVX = 1u << 28;
    constexpr uint32_t AVX512F = 1u << 16;
    constexpr uint64_t SSE_AND_AVX_STATE = 0x6;
    constexpr uint64_t AVX512_STATE = 0xE0;  // opmask, upper halves of zmm0-15, zmm16-31

    const uint32_t maxLeaf = Cpuid(0, 0).eax;
    const CpuidResult features = Cpuid(1, 0);
    if ((features.ecx & OSXSAVE) == 0 || (features.ecx & AVX) == 0) {
        return VectorWidth::Sse;
    }
    const uint64_t enabled = EnabledStateComponents();
    if ((enabled & SSE_AND_AVX_STATE) != SSE_AND_AVX_STATE) {
        return VectorWidth::Sse;
    }
    if (maxLeaf >= 7 && (Cpuid(7, 0).ebx & AVX512F) != 0 &&
        (enabled & AVX512_STATE) == AVX512_STATE) {
        return VectorWidth::Avx512;
    }
    return VectorWidth::Avx;
}

const char* VectorWidthName(VectorWidth width) {
    switch (width) {
        case VectorWidth::Sse:
            return "sse";
        case VectorWidth::Avx:
            return "avx";
        case VectorWidth::Avx512:
            return "avx512";
    }
    return "?";
}

FastPath FastPathHooks() {
    return FastPathHooks(DetectVectorWidth());
}

FastPath FastPathHooks(VectorWidth width) {
#if defined(__x86_64__)
    switch (width) {
        case VectorWidth::Sse:
            return {QvEnter3Sse, QvLeave3Sse, QvTailcall3Sse};
        case VectorWidth::Avx:
            return {QvEnter3Avx, QvLeave3Avx, QvTailcall3Avx};
        case VectorWidth::Avx512:
            return {QvEnter3Avx512, QvLeave3Avx512, QvTailcall3Avx512};
    }
#endif
    return {nullptr, nullptr, nullptr};
}

Version2 Version2Hooks() {
#if defined(__x86_64__)
    return {Enter2, Leave2, Tailcall2};
#else
    if (HasFxsave()) {
        return {QvEnter2Fx, QvLeave2Fx, QvTailcall2Fx};
    }
    return {QvEnter2X87, QvLeave2X87, QvTailcall2X87};
#endif
}

Old OldHooks() {
#if defined(__x86_64__)
    return {Enter, Leave, Tailcall};
#else
    if (HasFxsave()) {
        return {QvEnterFx, QvLeaveFx, QvTailcallFx};
    }
    return {QvEnterX87, QvLeaveX87, QvTailcallX87};
#endif
}

}  // namespace HookStubs
