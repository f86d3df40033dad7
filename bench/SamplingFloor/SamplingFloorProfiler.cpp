#include "SamplingFloorProfiler.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>

namespace {

using Clock = std::chrono::steady_clock;

// The sampling kind's: threads, module loads, suspensions, stack snapshots.
constexpr DWORD SamplingEventMask = 0x10010204;

double Microseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double MedianOf(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

HRESULT STDMETHODCALLTYPE CountFrame(FunctionID, UINT_PTR, COR_PRF_FRAME_INFO, ULONG32, BYTE[],
                                     void* clientData) {
    ++*static_cast<unsigned*>(clientData);
    return S_OK;
}

}  // namespace

SamplingFloorProfiler::SamplingFloorProfiler() {
    const char* pMode = std::getenv("QV_SAMPLING_FLOOR_MODE");
    m_Walk = pMode != nullptr && std::string(pMode) == "walk";
    const char* pReport = std::getenv("QV_SAMPLING_FLOOR_REPORT");
    m_ReportPath = pReport != nullptr ? pReport : "";
}

HRESULT SamplingFloorProfiler::Initialize(IUnknown* pICorProfilerInfoUnk) {
    HRESULT hr = pICorProfilerInfoUnk->QueryInterface(IID_ICorProfilerInfo10,
                                                      reinterpret_cast<void**>(&m_pInfo));
    if (FAILED(hr)) {
        return hr;
    }
    hr = m_pInfo->SetEventMask(SamplingEventMask);
    if (FAILED(hr)) {
        return hr;
    }
    m_Thread = std::thread([this] { Run(); });
    return S_OK;
}

HRESULT SamplingFloorProfiler::Shutdown() {
    m_Stop = true;
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
    WriteReport();
    if (m_pInfo != nullptr) {
        m_pInfo->Release();
        m_pInfo = nullptr;
    }
    return S_OK;
}

void SamplingFloorProfiler::Run() {
    std::minstd_rand random(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    m_Turns.reserve(1 << 16);
    while (!m_Stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 14));
        Turn turn{};
        const Clock::time_point start = Clock::now();
        if (FAILED(m_pInfo->SuspendRuntime())) {
            ++m_Skipped;
            continue;
        }
        const Clock::time_point suspended = Clock::now();
        if (m_Walk) {
            Walk(turn);
        }
        const Clock::time_point walked = Clock::now();
        m_pInfo->ResumeRuntime();
        const Clock::time_point resumed = Clock::now();
        turn.suspendUs = Microseconds(start, suspended);
        turn.walkUs = Microseconds(suspended, walked);
        turn.resumeUs = Microseconds(walked, resumed);
        m_Turns.push_back(turn);
    }
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    m_ThreadCpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void SamplingFloorProfiler::Walk(Turn& turn) {
    ICorProfilerThreadEnum* pThreads = nullptr;
    if (FAILED(m_pInfo->EnumThreads(&pThreads))) {
        return;
    }
    ThreadID threadId = 0;
    ULONG fetched = 0;
    while (pThreads->Next(1, &threadId, &fetched) == S_OK && fetched == 1) {
        ++turn.threads;
        m_pInfo->DoStackSnapshot(threadId, &CountFrame, 0, &turn.frames, nullptr, 0);
    }
    pThreads->Release();
}

void SamplingFloorProfiler::WriteReport() const {
    if (m_ReportPath.empty()) {
        return;
    }
    std::vector<double> suspend, walk, resume, threads, frames;
    for (const Turn& turn : m_Turns) {
        suspend.push_back(turn.suspendUs);
        walk.push_back(turn.walkUs);
        resume.push_back(turn.resumeUs);
        threads.push_back(turn.threads);
        frames.push_back(turn.frames);
    }
    std::ofstream report(m_ReportPath);
    report << "mode=" << (m_Walk ? "walk" : "suspend") << "\n"
           << "turns=" << m_Turns.size() << "\n"
           << "skipped=" << m_Skipped << "\n"
           << "suspend_us=" << MedianOf(suspend) << "\n"
           << "walk_us=" << MedianOf(walk) << "\n"
           << "resume_us=" << MedianOf(resume) << "\n"
           << "threads=" << MedianOf(threads) << "\n"
           << "frames=" << MedianOf(frames) << "\n"
           << "thread_cpu_s=" << m_ThreadCpuSeconds << "\n";
}
