// Calls an enter/leave hook the way the runtime's jitted code does, from code that keeps values
// in every register, and reports what the hook failed to give back.
#pragma once

#include <cstdint>
#include <string>

namespace HookProbe {

#if defined(__i386__)
// The registers around the call; the layout is the probe's (HookProbeX86.S).
struct Registers {
    uint32_t eax, ecx, edx, ebx, esi, edi, ebp;
    // Seen only: the stack pointer after the call less the one before the arguments were pushed.
    int32_t espDelta;
    uint32_t eflags;
    uint32_t padding;
    double st0;  // the top of the x87 stack
    uint8_t xmm[8][16];
};
static_assert(sizeof(Registers) == 176);

// Calls the __stdcall hook with `count` argument words, every general register, the arithmetic
// flags, the x87 stack top and xmm0-xmm7 seeded; "" when all of them and the stack pointer came
// back unchanged, else what changed ("ebx 0x13570004 -> 0x00000000; ...").
std::string Call(const void* pHook, const uint32_t* pArgs, uint32_t count);
#else
// The registers around the call; the layout is the probe's (HookProbeX64.S).
struct Registers {
    // Seen rsp: the stack pointer after the call less the one before it.
    uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8, r9, r10, r11, r12, r13, r14, r15;
    uint8_t vectors[16][64];  // xmm0-xmm15, as many bytes of each as the call seeds
};
static_assert(sizeof(Registers) == 128 + 16 * 64);

// Calls the fast-path hook with the id in r14 (enter) or rdi (leave, tailcall), every other
// general register and `vectorBytes` (16, 32 or 64) of each of xmm0-xmm15 seeded; "" when all
// of them and the stack pointer came back unchanged, else what changed.
std::string CallFastPath(const void* pHook, uint64_t id, bool idInR14, unsigned vectorBytes);
#endif

}  // namespace HookProbe

// Destroys every register a C function may destroy (the vector registers at `vectorBytes`; the
// 32-bit version destroys xmm0-xmm7 and the x87 stack whatever it is given).
extern "C" void QvClobberCallerSaved(unsigned vectorBytes);
