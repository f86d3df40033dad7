#include "Profiler/Performance/PerformanceThreadPool.h"

#include <stdexcept>

#include "Profiler/Performance/MeasureClock.h"
#include "ProgressIndicator/ChildProgressIndicator.h"
#include "Util/Log.h"

namespace {

bool IsLogging() noexcept {
    return Log::IsEnabled(LogComponent::ThreadGt);
}

const void* Id(ThreadID threadId) noexcept {
    return reinterpret_cast<const void*>(threadId);
}

void RequireStopped(bool measuring) {
    if (measuring) {
        throw std::runtime_error("Should be stopped");
    }
}

// Each record gets one unit of the progress, which it divides among its own steps.
class WriteVisitor : public IThreadVisitor {
public:
    WriteVisitor(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot,
                 FunctionGatherer* pFunctions)
        : m_pProgress(pProgress), m_pSnapshot(pSnapshot), m_pFunctions(pFunctions) {}

    void OnCount(DWORD count) override { m_pProgress->Begin(count); }
    void OnThread(BaseThread& thread) override {
        ChildProgressIndicator progress(*m_pProgress, 1);
        static_cast<PerformanceThread&>(thread).WriteAndDelete(&progress, m_pSnapshot,
                                                               m_pFunctions);
    }

private:
    BaseProgressIndicator* m_pProgress;
    ISnapShotStorage* m_pSnapshot;
    FunctionGatherer* m_pFunctions;
};

ThreadRegistry::Scope ScopeOfMode(DWORD mode) {
    switch (mode) {
        case 2:
            return ThreadRegistry::Scope::Ended;
        case 1:
            return ThreadRegistry::Scope::EndedAndNamed;
        default:
            return ThreadRegistry::Scope::All;
    }
}

}  // namespace

UINT64 PerformanceThreadPool::CommonTime(const MeasureTime& time,
                                         const PerformanceThread&) noexcept {
    return time.m_Stamp;
}

UINT64 PerformanceThreadPool::ThreadTime(const MeasureTime& time,
                                         const PerformanceThread& thread) noexcept {
    return MeasureClock::ThreadNow(time.m_Kind, thread.GetOSThreadId());
}

PerformanceThread& PerformanceThreadPool::Checked(BaseThread* pThread) {
    if (pThread == nullptr) {
        throw std::runtime_error("Invalid thread pointer");
    }
    return static_cast<PerformanceThread&>(*pThread);
}

UINT64* PerformanceThreadPool::CellOf(PerformanceThread* pThread) {
    return pThread != nullptr ? pThread->GetInternalTimeCell() : nullptr;
}

UINT64* PerformanceThreadPool::Create(const MeasureTime& time, ThreadID threadId) {
    if (IsLogging()) {
        Log::Format("BPPool::Create tid=%p", Id(threadId));
    }
    ThreadCreate(threadId);
    PerformanceThread& thread = Checked(Find(threadId));
    if (m_Measuring) {
        thread.Enable(TimeFunctionOf(time)(time, thread), false);
    }
    return thread.GetInternalTimeCell();
}

UINT64* PerformanceThreadPool::AssignOSThread(ThreadID threadId, DWORD osThreadId) {
    if (IsLogging()) {
        Log::Format("BPPool::AssignOSThread tid=%p osTid=%08X", Id(threadId), osThreadId);
    }
    ThreadAssign(threadId, osThreadId);
    return CellOf(FindRecord(threadId));
}

UINT64* PerformanceThreadPool::SetName(ThreadID threadId, const WString& name) {
    if (IsLogging()) {
        Log::Format("BPPool::SetName tid=%p name='%S'", Id(threadId), name.c_str());
    }
    ThreadSetName(threadId, name);
    return CellOf(FindRecord(threadId));
}

void PerformanceThreadPool::DeleteThread(const MeasureTime& time, ThreadID threadId) {
    if (IsLogging()) {
        Log::Format("BPPool::DeleteThread tid=%p", Id(threadId));
    }
    std::unique_ptr<BaseThread> pThread = ThreadDelete(threadId);
    if (pThread == nullptr) {
        return;  // the registry has logged the unknown thread
    }
    auto& thread = static_cast<PerformanceThread&>(*pThread);
    if (m_Measuring) {
        thread.Disable(TimeFunctionOf(time)(time, thread), false);
    }
    EndThreadDelete(std::move(pThread));
}

std::vector<UINT64*> PerformanceThreadPool::Enable(TimeFunction timeOf, const MeasureTime& time,
                                                   bool measurePartly) {
    if (IsLogging()) {
        Log::Message("BPPool::Enable");
    }
    if (m_Measuring) {
        throw std::runtime_error("Already runned");
    }
    m_Measuring = true;
    std::vector<UINT64*> cells;
    ForEach(Container::Active, [&](BaseThread& record) {
        PerformanceThread& thread = Checked(&record);
        if (thread.IsActive()) {
            cells.push_back(thread.Enable(timeOf(time, thread), measurePartly));
        }
    });
    return cells;
}

void PerformanceThreadPool::Disable(TimeFunction timeOf, const MeasureTime& time,
                                    bool measurePartly) {
    if (IsLogging()) {
        Log::Message("BPPool::Disable");
    }
    if (!m_Measuring) {
        throw std::runtime_error("Already stopped");
    }
    m_Measuring = false;
    ForEach(Container::Active, [&](BaseThread& record) {
        PerformanceThread& thread = Checked(&record);
        if (thread.IsActive()) {
            thread.Disable(timeOf(time, thread), measurePartly);
        }
    });
}

void PerformanceThreadPool::WriteAndDelete(BaseProgressIndicator* pProgress,
                                           ISnapShotStorage* pSnapshot, DWORD mode,
                                           FunctionGatherer* pFunctions) {
    if (IsLogging()) {
        Log::Message("BPPool::WriteAndDelete");
    }
    RequireStopped(m_Measuring);
    WriteVisitor visitor(pProgress, pSnapshot, pFunctions);
    DoAndDelete(visitor, ScopeOfMode(mode));
}

void PerformanceThreadPool::Delete() {
    if (IsLogging()) {
        Log::Message("BPPool::Delete");
    }
    RequireStopped(m_Measuring);
    ThreadRegistry::Delete();
}
