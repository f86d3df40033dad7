#include "support/HookProbe.h"

#include <cstdio>
#include <cstring>

#if defined(__i386__)

extern "C" void QvProbeHookCall(const void* pHook, const uint32_t* pArgs, uint32_t count,
                                const HookProbe::Registers* pSeed, HookProbe::Registers* pSeen);

namespace HookProbe {

namespace {

// Carry, zero, sign and overflow set; parity and adjust clear. The direction flag stays clear, as
// the calling convention requires.
constexpr uint32_t SEED_FLAGS = 0x0001 | 0x0040 | 0x0080 | 0x0800 | 0x0002;
constexpr uint32_t ARITHMETIC_FLAGS = 0x0001 | 0x0004 | 0x0010 | 0x0040 | 0x0080 | 0x0800;

Registers Seed() {
    Registers seed{0x13570001, 0x13570002, 0x13570003, 0x13570004, 0x13570005, 0x13570006,
                   0x13570007, 0,          SEED_FLAGS, 0,          -1234.5678, {}};
    for (int i = 0; i < 8; ++i) {
        for (int b = 0; b < 16; ++b) {
            seed.xmm[i][b] = static_cast<uint8_t>(0xA0 + i * 16 + b);
        }
    }
    return seed;
}

void Compare(const char* pName, uint32_t before, uint32_t after, std::string* pFaults) {
    if (before != after) {
        char text[64];
        std::snprintf(text, sizeof(text), "%s 0x%08X -> 0x%08X; ", pName, before, after);
        *pFaults += text;
    }
}

}  // namespace

std::string Call(const void* pHook, const uint32_t* pArgs, uint32_t count) {
    const Registers seed = Seed();
    Registers seen{};
    QvProbeHookCall(pHook, pArgs, count, &seed, &seen);

    std::string faults;
    Compare("eax", seed.eax, seen.eax, &faults);
    Compare("ecx", seed.ecx, seen.ecx, &faults);
    Compare("edx", seed.edx, seen.edx, &faults);
    Compare("ebx", seed.ebx, seen.ebx, &faults);
    Compare("esi", seed.esi, seen.esi, &faults);
    Compare("edi", seed.edi, seen.edi, &faults);
    Compare("ebp", seed.ebp, seen.ebp, &faults);
    Compare("esp", 0, static_cast<uint32_t>(seen.espDelta), &faults);
    Compare("flags", seed.eflags & ARITHMETIC_FLAGS, seen.eflags & ARITHMETIC_FLAGS, &faults);
    if (std::memcmp(&seed.st0, &seen.st0, sizeof(double)) != 0) {
        faults += "st(0) changed; ";
    }
    for (int i = 0; i < 8; ++i) {
        if (std::memcmp(seed.xmm[i], seen.xmm[i], 16) != 0) {
            faults += "xmm" + std::to_string(i) + " changed; ";
        }
    }
    return faults;
}

}  // namespace HookProbe

#else

extern "C" void QvProbeFastPathHook(const void* pHook, unsigned vectorBytes,
                                    const HookProbe::Registers* pSeed, HookProbe::Registers* pSeen);

namespace HookProbe {

std::string CallFastPath(const void* pHook, uint64_t id, bool idInR14, unsigned vectorBytes) {
    Registers seed{};
    uint64_t* pSeedRegisters = &seed.rax;
    for (int i = 0; i < 16; ++i) {
        pSeedRegisters[i] = 0x1357000000000000ull + i;
    }
    seed.rsp = 0;
    (idInR14 ? seed.r14 : seed.rdi) = id;
    for (int i = 0; i < 16; ++i) {
        for (unsigned b = 0; b < vectorBytes; ++b) {
            seed.vectors[i][b] = static_cast<uint8_t>(i * 16 + b);
        }
    }
    Registers seen{};
    QvProbeFastPathHook(pHook, vectorBytes, &seed, &seen);

    static const char* const NAMES[16] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
                                          "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};
    std::string faults;
    const uint64_t* pSeenRegisters = &seen.rax;
    for (int i = 0; i < 16; ++i) {
        if (pSeedRegisters[i] != pSeenRegisters[i]) {
            char text[80];
            std::snprintf(text, sizeof(text), "%s 0x%016llX -> 0x%016llX; ", NAMES[i],
                          static_cast<unsigned long long>(pSeedRegisters[i]),
                          static_cast<unsigned long long>(pSeenRegisters[i]));
            faults += text;
        }
    }
    for (int i = 0; i < 16; ++i) {
        if (std::memcmp(seed.vectors[i], seen.vectors[i], vectorBytes) != 0) {
            faults += "xmm" + std::to_string(i) + " changed; ";
        }
    }
    return faults;
}

}  // namespace HookProbe

#endif
