#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Profiler/Performance/Tracing/HookStubs.h"
#include "support/HookProbe.h"
#include "support/TestRuntime.h"

namespace {

constexpr FunctionID FUNCTION =
    static_cast<FunctionID>(sizeof(void*) == 8 ? 0x00007F3A01000300ull : 0x0B000300ull);
constexpr UINT_PTR CLIENT_ID = 7;

// What the targets saw: the hook kind ('E', 'L', 'T') and the id.
using Calls = std::vector<std::pair<char, UINT_PTR>>;

unsigned FullVectorBytes() {
    switch (HookStubs::DetectVectorWidth()) {
        case HookStubs::VectorWidth::Sse:
            return 16;
        case HookStubs::VectorWidth::Avx:
            return 32;
        case HookStubs::VectorWidth::Avx512:
            return 64;
    }
    return 16;
}

template <char Kind>
void Record(void* pContext, UINT_PTR id) {
    static_cast<Calls*>(pContext)->push_back({Kind, id});
    // Whatever the target may destroy, the stub must put back.
    QvClobberCallerSaved(FullVectorBytes());
}

UINT_PTR HOOKCALLTYPE MapToClientId(FunctionID, void*, BOOL* pbHookFunction) {
    *pbHookFunction = TRUE;
    return CLIENT_ID;
}

struct StubSet {
    const char* pName;
    std::function<void(TestRuntime&)> install;
    UINT_PTR expectedId;
};

std::vector<StubSet> StubSets() {
    std::vector<StubSet> sets;
    if (HookStubs::HasFastPath()) {
        using HookStubs::VectorWidth;
        for (auto [width, bytes] :
             {std::pair{VectorWidth::Sse, 16u}, std::pair{VectorWidth::Avx, 32u},
              std::pair{VectorWidth::Avx512, 64u}}) {
            if (width > HookStubs::DetectVectorWidth()) {
                continue;
            }
            sets.push_back({HookStubs::VectorWidthName(width),
                            [width, bytes](TestRuntime& runtime) {
                                // A narrower variant promises only its width.
                                runtime.SetHookVectorBytes(bytes);
                                const HookStubs::FastPath hooks = HookStubs::FastPathHooks(width);
                                runtime.SetFunctionIDMapper2(MapToClientId, nullptr);
                                runtime.SetEnterLeaveFunctionHooks3(hooks.pEnter, hooks.pLeave,
                                                                    hooks.pTailcall);
                            },
                            CLIENT_ID});
        }
    }
    sets.push_back({"version2",
                    [](TestRuntime& runtime) {
                        const HookStubs::Version2 hooks = HookStubs::Version2Hooks();
                        runtime.SetEnterLeaveFunctionHooks2(hooks.pEnter, hooks.pLeave,
                                                            hooks.pTailcall);
                    },
                    FUNCTION});
    sets.push_back({"old",
                    [](TestRuntime& runtime) {
                        const HookStubs::Old hooks = HookStubs::OldHooks();
                        runtime.SetEnterLeaveFunctionHooks(hooks.pEnter, hooks.pLeave,
                                                           hooks.pTailcall);
                    },
                    FUNCTION});
    return sets;
}

std::string Join(const std::vector<std::string>& faults) {
    std::string text;
    for (const std::string& fault : faults) {
        text += fault + "\n";
    }
    return text;
}

class HookStubsTest : public testing::Test {
protected:
    void TearDown() override { HookStubs::SetTargets(nullptr); }

    Calls m_Calls;
    const HookTargets m_Targets{&m_Calls, Record<'E'>, Record<'L'>, Record<'T'>};
};

// The test runtime calls the stubs through the probe, so this also checks that each gave back
// every register (32-bit: and removed its arguments, kept the flags and the x87 stack). Without
// targets every stub returns at once.
TEST_F(HookStubsTest, EveryStubCallsItsTargetWithTheIdAndPreservesTheCaller) {
    for (const StubSet& set : StubSets()) {
        for (bool targets : {false, true}) {
            SCOPED_TRACE(std::string(set.pName) + (targets ? " with targets" : " without"));
            HookStubs::SetTargets(targets ? &m_Targets : nullptr);
            m_Calls.clear();
            TestRuntime runtime;
            set.install(runtime);
            runtime.CallEnterHook(FUNCTION);
            runtime.CallLeaveHook(FUNCTION);
            runtime.CallTailcallHook(FUNCTION);
            const UINT_PTR id = set.expectedId;
            const Calls expected = {{'E', id}, {'L', id}, {'T', id}};
            EXPECT_EQ(targets ? expected : Calls{}, m_Calls);
            EXPECT_EQ("", Join(runtime.HookFaults()));
        }
    }
}

#if defined(__i386__)
void HOOKCALLTYPE ClobberingHook(FunctionID) {
#else
void HOOKCALLTYPE ClobberingHook(FunctionIDOrClientID) {
#endif
    QvClobberCallerSaved(FullVectorBytes());
}

// The probe itself: an ordinary function is not a valid hook, and the probe says so.
TEST(HookProbe, ReportsAHookThatDestroysRegisters) {
    TestRuntime runtime;
#if defined(__i386__)
    runtime.SetEnterLeaveFunctionHooks(ClobberingHook, nullptr, nullptr);
    const char* const destroyed[] = {"eax", "ecx", "edx", "flags", "st(0)", "xmm0", "xmm7"};
#else
    runtime.SetEnterLeaveFunctionHooks3(ClobberingHook, nullptr, nullptr);
    const char* const destroyed[] = {"rax", "rcx", "rdx",  "rsi",  "rdi",
                                     "r8",  "r11", "xmm0", "xmm15"};
#endif
    runtime.CallEnterHook(FUNCTION);
    const std::vector<std::string> faults = runtime.HookFaults();
    ASSERT_EQ(1u, faults.size());
    for (const char* pRegister : destroyed) {
        EXPECT_NE(std::string::npos, faults[0].find(pRegister)) << pRegister << ": " << faults[0];
    }
    EXPECT_EQ(std::string::npos, faults[0].find("sp ")) << faults[0];
}

}  // namespace
