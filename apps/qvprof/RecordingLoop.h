// What `record` and `listen` do while a recording runs: they wait for the program's end, signals
// and timers, and turn each into requests to the processes: dumps at their times, the end after
// --duration, a stop that saves on the first Ctrl-C (passed on to the program when the terminal
// did not send it there already, once the processes have saved or dumped), an abort on the
// second, start/stop or a dump on SIGUSR1.
#pragma once

#include <optional>
#include <string>

#include "Console.h"
#include "ProfilingOptions.h"
#include "ProgramRunner.h"
#include "RecordingHub.h"

namespace Qvprof {

class RecordingLoop {
public:
    enum class End {
        Finished,  // the program ended, or the recording was stopped, and every snapshot is in
        Aborted,   // a second Ctrl-C: connections cut, the program killed
    };

    // While the hub finishes its processes, the loop looks this often whether they are done.
    static constexpr std::chrono::milliseconds PollInterval{100};
    // A stop signal repeated by its sender within this time counts once (see m_StopSignal).
    static constexpr std::chrono::milliseconds RepeatWindow{1000};

    RecordingLoop(Console& console, RecordingHub& hub, ProgramRunner& runner,
                  const ProfilingOptions& options);

    // `withProgram`: the runner's program is running (record); without one (listen) the loop
    // ends once the recording is stopped and done.
    End Run(bool withProgram);

private:
    void Stop(const std::string& reason);
    void OnSignal(const ProgramRunner::Event& event);
    void OnDeadline(ProgramRunner::Clock::time_point now);
    void PassOnHeldSignal();
    bool IsRepeatOfStopSignal(const ProgramRunner::Event& event) const;
    std::optional<ProgramRunner::Clock::time_point> NextDeadline() const;

    Console& m_Console;
    RecordingHub& m_Hub;
    ProgramRunner& m_Runner;
    const ProfilingOptions& m_Options;
    bool m_WithProgram = false;
    bool m_StopRequested = false;
    bool m_Aborted = false;
    // The stop signal was sent to qvprof alone and goes on to the program once every process is
    // done: a program that ends on it would otherwise end before its snapshot is saved or its heap
    // dumped.
    bool m_SignalHeld = false;
    // The stop signal that ended the recording. The same signal again from the same process soon
    // after counts once: `timeout` signals qvprof and then its whole process group, and that copy
    // is no second Ctrl-C asking to abort.
    ProgramRunner::Event m_StopSignal;
    ProgramRunner::Clock::time_point m_StopSignalAt;
    ProgramRunner::Clock::time_point m_Start;
    std::vector<ProgramRunner::Clock::time_point> m_Dumps;  // still to come, earliest first
};

}  // namespace Qvprof
