// Runs the program to profile as qvprof's child, sharing qvprof's standard input, output and
// error, and waits for whatever ends or changes a recording: the program's end, a signal sent to
// qvprof (Ctrl-C, a request to terminate, SIGUSR1), or a deadline.
//
// The constructor takes over SIGINT, SIGTERM, SIGHUP and SIGUSR1 for the whole process: construct
// it before any other thread starts, so that every thread inherits them blocked and they are
// received only by Wait. The program starts with the signal state qvprof had before.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace Qvprof {

class ProgramRunner {
public:
    using Clock = std::chrono::steady_clock;

    enum class EventKind {
        ProgramEnded,
        Interrupt,    // SIGINT: Ctrl-C
        Terminate,    // SIGTERM or SIGHUP
        UserRequest,  // SIGUSR1
        Deadline,
    };

    struct Event {
        EventKind kind = EventKind::Deadline;
        int signal = 0;
        // True for a signal sent to qvprof alone (kill, a supervisor); false for one the terminal
        // sent to its whole foreground process group, the program included.
        bool sentToQvprofOnly = false;
        int senderPid = 0;  // the process that sent a signal with kill(); 0 for the terminal
    };

    ProgramRunner();
    ~ProgramRunner();

    ProgramRunner(const ProgramRunner&) = delete;
    ProgramRunner& operator=(const ProgramRunner&) = delete;

    // Starts the program (found on PATH when it has no slash) with exactly `environment`.
    // Raises std::runtime_error "Can't start '<program>': <reason>".
    void Start(const std::vector<std::string>& command,
               const std::vector<std::string>& environment);
    bool IsRunning() const { return m_Pid > 0 && !m_Ended; }
    int ProcessId() const { return m_Pid; }

    // Waits for the next event; without a program only signals and the deadline end the wait.
    Event Wait(std::optional<Clock::time_point> deadline);

    // Sends the signal to the program while it runs.
    void Signal(int signal);
    // Ends the program at once.
    void Kill();

    // Once the program has ended: its exit code, or 128 + N when signal N ended it.
    int ExitCode() const { return m_ExitCode; }
    // "exited with code 7", "was ended by signal 9 (Killed)".
    std::string Outcome() const { return m_Outcome; }

    // True while the process exists and has not ended (a process that ended but was not yet
    // reaped by its parent counts as ended).
    static bool IsProcessRunning(int processId);

private:
    bool ReapIfEnded(bool block);

    int m_SignalFd = -1;
    int m_PidFd = -1;
    int m_Pid = 0;
    bool m_Ended = false;
    int m_ExitCode = 0;
    std::string m_Outcome;
    struct SavedState;
    SavedState* m_pSaved = nullptr;
};

}  // namespace Qvprof
