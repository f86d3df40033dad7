// The floor of sampling in the runtime on Linux: a profiler that asks for the sampling kind's
// event mask and whose own thread (never running managed code) only suspends and resumes the
// runtime at the sampling kind's intervals, 5 to 18 ms drawn at random. Whatever a sampling
// profiler does, it pays this much. In "walk" mode it also walks every managed thread's stack
// while the runtime is suspended, counting frames, so a turn's cost can be read against the
// number of threads and the depth of their stacks.
//
// Environment:
//   QV_SAMPLING_FLOOR_MODE     "suspend" (default) or "walk"
//   QV_SAMPLING_FLOOR_REPORT   a file written at shutdown, one "key=value" per line: mode, turns,
//                              skipped (suspension refused), median suspend, walk and resume
//                              times in microseconds, threads and frames walked per turn, and
//                              the sampler thread's CPU time in seconds.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/NullProfilerCallback.h"

class SamplingFloorProfiler final : public NullProfilerCallback {
public:
    SamplingFloorProfiler();

    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* pICorProfilerInfoUnk) override;
    HRESULT STDMETHODCALLTYPE Shutdown() override;

private:
    struct Turn {
        double suspendUs;
        double walkUs;
        double resumeUs;
        unsigned threads;
        unsigned frames;
    };

    ~SamplingFloorProfiler() override = default;

    void Run();
    void Walk(Turn& turn);
    void WriteReport() const;

    bool m_Walk = false;
    std::string m_ReportPath;
    // Set in Initialize, released in Shutdown after the thread has ended.
    ICorProfilerInfo10* m_pInfo = nullptr;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
    // The sampler thread's alone until it has been joined.
    std::vector<Turn> m_Turns;
    unsigned m_Skipped = 0;
    double m_ThreadCpuSeconds = 0;
};
