// The program runs in qvprof's process group, so the terminal's Ctrl-C reaches it directly;
// signals come to qvprof through a signal descriptor, the program's end through a process
// descriptor, and one poll waits for both.
#include "../ProgramRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace Qvprof {

namespace {

// 0 when posix_spawnp would find `program` and may run it, else the error it would give. Checked
// before spawning: not every spawn reports a failed exec (under user-mode emulation it shows only
// as the child's exit code 127).
int ProgramError(const std::string& program) {
    const auto check = [](const std::string& path) {
        if (access(path.c_str(), F_OK) != 0) {
            return ENOENT;
        }
        return access(path.c_str(), X_OK) == 0 ? 0 : EACCES;
    };
    if (program.find('/') != std::string::npos) {
        return check(program);
    }
    const char* pPath = std::getenv("PATH");
    const std::string directories = pPath != nullptr ? pPath : "/bin:/usr/bin";
    int error = ENOENT;
    for (size_t start = 0;;) {
        const size_t end = directories.find(':', start);
        const std::string directory = directories.substr(start, end - start);
        const int found = check((directory.empty() ? "." : directory) + "/" + program);
        if (found == 0) {
            return 0;
        }
        if (found == EACCES) {
            error = EACCES;
        }
        if (end == std::string::npos) {
            return error;
        }
        start = end + 1;
    }
}

constexpr int HandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};
// Without a process descriptor the program's end is looked for this often.
constexpr int FallbackPollMilliseconds = 50;

sigset_t HandledSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : HandledSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

int MillisecondsUntil(std::optional<ProgramRunner::Clock::time_point> deadline) {
    if (!deadline) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        *deadline - ProgramRunner::Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
}

}  // namespace

struct ProgramRunner::SavedState {
    sigset_t mask;
    struct sigaction pipeAction;
};

ProgramRunner::ProgramRunner() : m_pSaved(new SavedState()) {
    const sigset_t set = HandledSet();
    pthread_sigmask(SIG_BLOCK, &set, &m_pSaved->mask);
    // A vanished reader of qvprof's own output must not end qvprof before the program's code.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &m_pSaved->pipeAction);
    m_SignalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_SignalFd < 0) {
        throw std::runtime_error(std::string("Can't receive signals: ") + std::strerror(errno));
    }
}

ProgramRunner::~ProgramRunner() {
    if (m_PidFd >= 0) {
        ::close(m_PidFd);
    }
    if (m_SignalFd >= 0) {
        ::close(m_SignalFd);
    }
    sigaction(SIGPIPE, &m_pSaved->pipeAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &m_pSaved->mask, nullptr);
    delete m_pSaved;
}

void ProgramRunner::Start(const std::vector<std::string>& command,
                          const std::vector<std::string>& environment) {
    if (command.empty()) {
        throw std::runtime_error("No program to start");
    }
    if (const int missing = ProgramError(command[0])) {
        throw std::runtime_error("Can't start '" + command[0] + "': " + std::strerror(missing));
    }
    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults = HandledSet();
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &m_pSaved->mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        throw std::runtime_error("Can't start '" + command[0] + "': " + std::strerror(error));
    }
    m_Pid = pid;
    m_PidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool ProgramRunner::ReapIfEnded(bool block) {
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(m_Pid, &status, block ? 0 : WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped != m_Pid) {
        return false;
    }
    m_Ended = true;
    if (WIFEXITED(status)) {
        m_ExitCode = WEXITSTATUS(status);
        m_Outcome = "exited with code " + std::to_string(m_ExitCode);
    } else if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        m_ExitCode = 128 + signal;
        m_Outcome =
            "was ended by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    }
    return true;
}

ProgramRunner::Event ProgramRunner::Wait(std::optional<Clock::time_point> deadline) {
    for (;;) {
        const bool watching = IsRunning();
        if (watching && m_PidFd < 0 && ReapIfEnded(false)) {
            return Event{EventKind::ProgramEnded};
        }
        pollfd fds[2] = {{m_SignalFd, POLLIN, 0}, {watching ? m_PidFd : -1, POLLIN, 0}};
        int timeout = MillisecondsUntil(deadline);
        if (watching && m_PidFd < 0 && (timeout < 0 || timeout > FallbackPollMilliseconds)) {
            timeout = FallbackPollMilliseconds;
        }
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("Can't wait for the program: ") +
                                     std::strerror(errno));
        }
        if (ready > 0 && fds[1].revents != 0 && ReapIfEnded(true)) {
            return Event{EventKind::ProgramEnded};
        }
        if (ready > 0 && fds[0].revents != 0) {
            signalfd_siginfo info{};
            if (::read(m_SignalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                Event event;
                event.signal = static_cast<int>(info.ssi_signo);
                // Terminal signals come from the kernel; kill() and its relatives are user codes.
                event.sentToQvprofOnly = info.ssi_code <= 0;
                event.senderPid = event.sentToQvprofOnly ? static_cast<int>(info.ssi_pid) : 0;
                event.kind = event.signal == SIGINT    ? EventKind::Interrupt
                             : event.signal == SIGUSR1 ? EventKind::UserRequest
                                                       : EventKind::Terminate;
                return event;
            }
        }
        if (deadline && Clock::now() >= *deadline) {
            return Event{EventKind::Deadline};
        }
    }
}

void ProgramRunner::Signal(int signal) {
    if (IsRunning()) {
        ::kill(m_Pid, signal);
    }
}

void ProgramRunner::Kill() {
    Signal(SIGKILL);
}

bool ProgramRunner::IsProcessRunning(int processId) {
    std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return false;
    }
    // "pid (name) S ...": the state follows the last parenthesis, since the name may hold one.
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) {
        return false;
    }
    const char state = text[close + 2];
    return state != 'Z' && state != 'X';
}

}  // namespace Qvprof
