#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Platform/Process.h"
#include "support/RecordingProfiler.h"
#include "support/TestRuntime.h"

namespace {

using testing::ElementsAre;

std::vector<std::string> Names(const std::vector<RecordingProfiler::Call>& calls) {
    std::vector<std::string> names;
    for (const RecordingProfiler::Call& call : calls) {
        names.push_back(call.name);
    }
    return names;
}

}  // namespace

TEST(TestRuntime, AnswersThreadsPerOSThreadAndModuleNamesByTheBufferConvention) {
    TestRuntime runtime;
    ThreadID id = 1;
    EXPECT_EQ(runtime.GetCurrentThreadID(&id), CORPROF_E_NOT_MANAGED_THREAD);
    EXPECT_EQ(id, 0u);
    ThreadID main = runtime.AddThread();
    ThreadID other = runtime.AddThread();
    if (sizeof(void*) == 8) {
        EXPECT_GT(main, UINT_PTR(0xFFFFFFFF)) << "ids must not survive a cut to 32 bits";
    }
    runtime.BindToCurrentOSThread(main);
    ThreadID seenThere = 0;
    std::thread([&] {
        runtime.BindToCurrentOSThread(other);
        runtime.GetCurrentThreadID(&seenThere);
    }).join();
    EXPECT_EQ(runtime.GetCurrentThreadID(&id), S_OK);
    EXPECT_EQ(id, main);
    EXPECT_EQ(seenThere, other);
    DWORD os = 0;
    EXPECT_EQ(runtime.GetThreadInfo(main, &os), S_OK);
    EXPECT_EQ(os, Platform::GetCurrentThreadId());
    HANDLE hMain = nullptr, hOther = nullptr;
    EXPECT_EQ(runtime.GetHandleFromThread(main, &hMain), S_OK);
    EXPECT_EQ(runtime.GetHandleFromThread(other, &hOther), S_OK);
    EXPECT_NE(hMain, nullptr);
    EXPECT_NE(hMain, hOther);
    runtime.UnbindCurrentOSThread();
    EXPECT_EQ(runtime.GetCurrentThreadID(&id), CORPROF_E_NOT_MANAGED_THREAD);
    runtime.RemoveThread(main);
    EXPECT_EQ(runtime.GetThreadInfo(main, &os), E_INVALIDARG);

    const WString path = u"/apps/Sample.dll";
    ModuleID moduleId = runtime.AddModule({path, 0x400000, 0x5150});
    ULONG needed = 0;
    EXPECT_EQ(runtime.GetModuleInfo(moduleId, nullptr, 0, &needed, nullptr, nullptr), S_OK);
    EXPECT_EQ(needed, path.size() + 1);
    WCHAR name[64];
    LPCBYTE base = nullptr;
    AssemblyID assembly = 0;
    EXPECT_EQ(runtime.GetModuleInfo(moduleId, &base, 64, &needed, name, &assembly), S_OK);
    EXPECT_EQ(WString(name), path);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(base), 0x400000u);
    EXPECT_EQ(assembly, 0x5150u);
    WCHAR shortName[6];
    EXPECT_EQ(runtime.GetModuleInfo(moduleId, nullptr, 6, &needed, shortName, nullptr),
              MakeHResult(0x8007007A));
    EXPECT_EQ(WString(shortName), u"/apps");
    EXPECT_EQ(runtime.GetModuleInfo(moduleId + 1, nullptr, 0, &needed, nullptr, nullptr),
              E_INVALIDARG);
}

TEST(TestRuntime, DriverCallsTheProfilerInTheRuntimesOrder) {
    TestRuntime runtime;
    RecordingProfiler profiler;
    EXPECT_EQ(runtime.InitializeProfiler(&profiler), S_OK);
    EXPECT_EQ(profiler.Info(), static_cast<ICorProfilerInfo*>(&runtime));

    ThreadID id = runtime.StartThreadHere(u"Worker");
    ModuleID moduleId = runtime.LoadModule({u"/apps/Sample.dll", 0x400000, 0x10});
    runtime.EndThreadHere(id);
    ThreadID unused = 0;
    EXPECT_EQ(runtime.GetCurrentThreadID(&unused), CORPROF_E_NOT_MANAGED_THREAD);
    profiler.SetResult("Shutdown", E_FAIL);
    EXPECT_EQ(runtime.ShutdownProfiler(), E_FAIL);

    std::vector<RecordingProfiler::Call> calls = profiler.Calls();
    EXPECT_THAT(Names(calls), ElementsAre("Initialize", "ThreadCreated", "ThreadAssignedToOSThread",
                                          "ThreadNameChanged", "ModuleLoadStarted",
                                          "ModuleLoadFinished", "ThreadDestroyed", "Shutdown"));
    const UINT_PTR os = Platform::GetCurrentThreadId();
    EXPECT_THAT(calls[1].args, ElementsAre(id));
    EXPECT_EQ(calls[1].currentThread, 0u) << "not yet on its OS thread";
    EXPECT_THAT(calls[2].args, ElementsAre(id, os));
    EXPECT_EQ(calls[2].currentThread, id);
    EXPECT_EQ(calls[3].text, u"Worker");
    EXPECT_THAT(calls[3].args, ElementsAre(id, 6u));
    EXPECT_THAT(calls[5].args, ElementsAre(moduleId, static_cast<UINT_PTR>(S_OK)));
    EXPECT_EQ(calls[6].currentThread, id) << "still managed while its end is reported";

    EXPECT_EQ(runtime.FailedCallbacks().size(), 1u);
    EXPECT_STREQ(runtime.FailedCallbacks().at(0).pName, "Shutdown");
    EXPECT_EQ(runtime.CallbackResults().size(), calls.size());
    EXPECT_EQ(profiler.References(), 0u);
    EXPECT_EQ(runtime.References(), 0u);
}

TEST(TestRuntimeConcurrent, ThreadsStartAskAndEndAtOnce) {
    TestRuntime runtime;
    RecordingProfiler profiler;
    runtime.InitializeProfiler(&profiler);
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < ROUNDS; ++round) {
                ThreadID id = runtime.StartThreadHere(u"T");
                ThreadID current = 0;
                EXPECT_EQ(runtime.GetCurrentThreadID(&current), S_OK);
                EXPECT_EQ(current, id);
                runtime.EndThreadHere(id);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    runtime.ShutdownProfiler();
    EXPECT_EQ(profiler.Calls("ThreadCreated").size(), static_cast<size_t>(THREADS * ROUNDS));
    for (const RecordingProfiler::Call& call : profiler.Calls("ThreadAssignedToOSThread")) {
        EXPECT_EQ(call.currentThread, call.args.at(0));
    }
    EXPECT_TRUE(runtime.FailedCallbacks().empty());
}
