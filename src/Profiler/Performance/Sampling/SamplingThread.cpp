#include "Profiler/Performance/Sampling/SamplingThread.h"

#include <stdexcept>

#include "Util/Log.h"

namespace {

bool IsLogging() noexcept {
    return Log::IsEnabled(LogComponent::ThreadGt);
}

}  // namespace

void SamplingThread::Delete() {
    if (IsLogging()) {
        Log::Format("PSThrd::Delete id=%08X", GetNumber());
    }
    DropOpenFrames();
    PerformanceThread::Delete();
}

void SamplingThread::WriteAndDelete(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot,
                                    FunctionGatherer* pFunctions) {
    if (IsLogging()) {
        Log::Format("PSThrd::WriteAndDelete id=%08X capacity=%u", GetNumber(), GetArenaBytes());
    }
    DropOpenFrames();
    PerformanceThread::WriteAndDelete(pProgress, pSnapshot, pFunctions);
}

void SamplingThread::AddSample(UINT64 time, std::span<const DWORD> fuids) {
    if (!IsMeasuring()) {
        return;
    }
    while (GetFrameCount() > 1) {
        CloseTopFrame(time);
    }
    for (DWORD fuid : fuids) {
        EnterFrame(fuid, time);
    }
}

void SamplingThread::DropOpenFrames() {
    if (IsMeasuring()) {
        throw std::runtime_error("Should be stopped");
    }
    // Not measuring: closing only pops, so the last sample's stack gets no further time.
    while (GetFrameCount() > 1) {
        CloseTopFrame(0);
    }
}
