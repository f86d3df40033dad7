#include "RecordingLoop.h"

#include <fmt/format.h>

#include <algorithm>

namespace Qvprof {

namespace {

using Clock = ProgramRunner::Clock;

Clock::duration Seconds(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

RecordingLoop::RecordingLoop(Console& console, RecordingHub& hub, ProgramRunner& runner,
                             const ProfilingOptions& options)
    : m_Console(console), m_Hub(hub), m_Runner(runner), m_Options(options) {}

RecordingLoop::End RecordingLoop::Run(bool withProgram) {
    m_WithProgram = withProgram;
    m_Start = Clock::now();
    for (double seconds : m_Options.dumpAfterSeconds) {
        m_Dumps.push_back(m_Start + Seconds(seconds));
    }
    std::sort(m_Dumps.begin(), m_Dumps.end());

    for (;;) {
        PassOnHeldSignal();
        const bool programRunning = m_WithProgram && m_Runner.IsRunning();
        if (m_Aborted && !programRunning) {
            return End::Aborted;
        }
        if (m_StopRequested && !programRunning && m_Hub.AllDone()) {
            return End::Finished;
        }
        if (!m_WithProgram && !m_StopRequested && m_Options.firstOnly &&
            m_Hub.AnyProfiledProcessEnded()) {
            Stop("the recording had ended (--first-only: the profiled process has ended)");
        }
        const ProgramRunner::Event event = m_Runner.Wait(NextDeadline());
        switch (event.kind) {
            case ProgramRunner::EventKind::ProgramEnded:
                if (!m_StopRequested) {
                    Stop("the recording had ended with the program");
                }
                break;
            case ProgramRunner::EventKind::Deadline:
                OnDeadline(Clock::now());
                break;
            default:
                OnSignal(event);
                break;
        }
    }
}

std::optional<Clock::time_point> RecordingLoop::NextDeadline() const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point at) {
        if (!next || at < *next) {
            next = at;
        }
    };
    if (!m_StopRequested) {
        if (!m_Dumps.empty()) {
            consider(m_Dumps.front());
        }
        if (m_Options.durationSeconds > 0) {
            consider(m_Start + Seconds(m_Options.durationSeconds));
        }
    }
    // Processes finish on their own threads, and listen has no program whose end wakes us.
    if (m_StopRequested || !m_WithProgram) {
        consider(Clock::now() + PollInterval);
    }
    return next;
}

void RecordingLoop::OnDeadline(Clock::time_point now) {
    if (m_StopRequested) {
        return;
    }
    bool dump = false;
    while (!m_Dumps.empty() && m_Dumps.front() <= now) {
        m_Dumps.erase(m_Dumps.begin());
        dump = true;
    }
    if (dump) {
        m_Console.Info(m_Hub.DumpAll() != 0
                           ? "taking a heap dump (--dump-after)"
                           : "--dump-after: no process is recorded any more; no heap dump taken");
    }
    if (m_Options.durationSeconds > 0 && now >= m_Start + Seconds(m_Options.durationSeconds)) {
        m_Console.Info(fmt::format(
            "--duration {} s reached: saving the snapshots{}", m_Options.durationSeconds,
            m_WithProgram ? "; the program runs on without the profiler" : ""));
        Stop("the recording had ended (--duration)");
    }
}

void RecordingLoop::OnSignal(const ProgramRunner::Event& event) {
    if (event.kind == ProgramRunner::EventKind::UserRequest) {
        if (m_StopRequested) {
            return;
        }
        const bool memory = m_Options.mode == ProfilerMode::Memory;
        const size_t asked = memory ? m_Hub.DumpAll() : m_Hub.ToggleAll();
        m_Console.Info(asked == 0 ? "SIGUSR1: no process is recorded any more"
                       : memory   ? "SIGUSR1: taking a heap dump"
                                  : "SIGUSR1: starting or stopping");
        return;
    }
    if (m_StopRequested && IsRepeatOfStopSignal(event)) {
        return;
    }
    if (m_StopRequested) {
        m_Console.Warning(
            "aborted: the connections are cut, snapshots still on their way are "
            "lost" +
            std::string(m_Runner.IsRunning() ? ", the program is killed" : ""));
        m_Aborted = true;
        m_SignalHeld = false;
        m_Hub.Abort();
        if (m_WithProgram) {
            m_Runner.Kill();
        }
        return;
    }
    const bool passOn = m_WithProgram && event.sentToQvprofOnly;
    m_Console.Info(passOn ? "stopping: saving the snapshots, then passing the signal on to the "
                            "program (press Ctrl-C again to abort)"
                          : "stopping: saving the snapshots (press Ctrl-C again to abort)");
    Stop("the recording had ended (qvprof was interrupted)");
    m_SignalHeld = passOn;
    m_StopSignal = event;
    m_StopSignalAt = Clock::now();
}

bool RecordingLoop::IsRepeatOfStopSignal(const ProgramRunner::Event& event) const {
    return event.senderPid != 0 && event.senderPid == m_StopSignal.senderPid &&
           event.signal == m_StopSignal.signal && Clock::now() - m_StopSignalAt < RepeatWindow;
}

void RecordingLoop::PassOnHeldSignal() {
    if (!m_SignalHeld || !m_Hub.AllDone()) {
        return;
    }
    if (m_Runner.IsRunning()) {
        m_Runner.Signal(m_StopSignal.signal);
    }
    m_SignalHeld = false;
}

void RecordingLoop::Stop(const std::string& reason) {
    m_StopRequested = true;
    if (m_WithProgram) {
        m_Hub.RequestStop(reason, &ProgramRunner::IsProcessRunning);
    } else {
        // Processes started elsewhere may live in another process namespace: ask every one.
        m_Hub.RequestStop(reason, [](uint32_t) { return true; });
    }
}

}  // namespace Qvprof
