// A profiler that asks the runtime for what the tracing profiler asks for (its event mask, a
// function id mapper and the version-3 fast-path hooks through our entry stubs) and does nothing
// else per call. It measures the cost floor of hooking every call, and it proves that the stubs
// give the managed caller back its registers. Environment variables choose:
//   QV_FLOOR_PROFILER_MODE    empty (default): the targets return at once
//                             count: the targets count calls per function
//                             clobber: count, then destroy every register the target may destroy
//   QV_FLOOR_PROFILER_HOOKS   fast (default): our fast-path stubs, with the mapper
//                             bare: fast-path hooks that only return (the runtime's own floor)
//                             version2: the version-2 hooks
//   QV_FLOOR_PROFILER_VECTOR  sse, avx or avx512: the stubs' vector width (default: detected)
//   QV_FLOOR_PROFILER_REPORT  a file written at shutdown: "floor mode=... hooks=... vector=...
//                             init=<HRESULT>", then one line per counted function:
//                             "<enter> <leave> <tailcall> <Namespace.Type>::<Method>"
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Profiler/Performance/Tracing/HookStubs.h"
#include "fixtures/NullProfilerCallback.h"

class FloorProfiler final : public NullProfilerCallback {
public:
    FloorProfiler();

    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* pICorProfilerInfoUnk) override;
    HRESULT STDMETHODCALLTYPE Shutdown() override;

private:
    enum class Mode { Empty, Count, Clobber };
    enum class Hooks { Fast, Bare, Version2 };
    enum Kind { ENTER, LEAVE, TAILCALL, KIND_COUNT };

    // Ids the mapper hands out, from 1; functions beyond them share id 0.
    static constexpr size_t ID_CAPACITY = 1 << 16;

    ~FloorProfiler() override = default;

    HRESULT Install();
    UINT_PTR Map(FunctionID functionId);
    void Count(Kind kind, UINT_PTR id);
    std::string NameOf(FunctionID functionId) const;
    void WriteReport() const;

    static UINT_PTR HOOKCALLTYPE Mapper(FunctionID functionId, void* clientData,
                                        BOOL* pbHookFunction);
    static void Empty(void* pContext, UINT_PTR id);
    template <Kind K>
    static void Counting(void* pContext, UINT_PTR id);
    template <Kind K>
    static void Clobbering(void* pContext, UINT_PTR id);

    Mode m_Mode = Mode::Empty;
    Hooks m_Hooks = Hooks::Fast;
    HookStubs::VectorWidth m_Width;
    std::string m_ReportPath;
    std::string m_SettingsError;
    HRESULT m_InitStatus = S_OK;
    HookTargets m_Targets{};
    void (*m_pClobber)() = nullptr;
    // Set in Initialize, released in Shutdown.
    ICorProfilerInfo3* m_pInfo = nullptr;

    // Guards m_Ids and m_Functions. Taken by the mapper (on threads compiling code) and, with
    // version-2 hooks, by the counting targets; never by the fast-path targets.
    mutable std::mutex m_MapLock;
    std::unordered_map<FunctionID, UINT_PTR> m_Ids;
    std::vector<FunctionID> m_Functions{0};  // by id; id 0 is no function

    // Calls per kind and id, written by the targets on every thread.
    std::unique_ptr<std::atomic<uint64_t>[]> m_pCounts;
};
