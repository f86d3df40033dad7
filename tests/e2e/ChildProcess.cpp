#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace {

// Closes the descriptors it holds when it goes away.
struct Pipe {
    int fds[2] = {-1, -1};
    ~Pipe() {
        for (int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    void CloseWriteEnd() {
        ::close(fds[1]);
        fds[1] = -1;
    }
};

// Appends what is ready on fd to text; false once the writer has closed its end.
bool Drain(int fd, std::string* pText) {
    char buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof(buffer));
    if (count > 0) {
        pText->append(buffer, static_cast<size_t>(count));
        return true;
    }
    return count < 0 && (errno == EINTR || errno == EAGAIN);
}

// True once the process has ended (not yet reaped), false when the deadline came first.
bool WaitForExit(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidFd < 0) {
        return false;
    }
    bool ended = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fd = {pidFd, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            ended = true;
            break;
        }
        if (ready < 0 && errno != EINTR) {
            break;
        }
    }
    ::close(pidFd);
    return ended;
}

void RecordStatus(int status, ChildProcess::Result* pResult) {
    if (WIFEXITED(status)) {
        pResult->exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        pResult->signal = WTERMSIG(status);
    }
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> arguments)
    : m_Arguments(std::move(arguments)) {}

void ChildProcess::SetVariable(const std::string& name, const std::string& value) {
    m_Changes[name] = value;
}

void ChildProcess::RemoveVariable(const std::string& name) {
    m_Changes[name] = std::nullopt;
}

void ChildProcess::RemoveVariablesStartingWith(const std::string& prefix) {
    m_RemovedPrefixes.push_back(prefix);
}

std::vector<std::string> ChildProcess::BuildEnvironment() const {
    std::vector<std::string> entries;
    for (char** pEntry = environ; *pEntry != nullptr; ++pEntry) {
        const std::string entry = *pEntry;
        const std::string name = entry.substr(0, entry.find('='));
        bool removed = m_Changes.count(name) != 0;
        for (const std::string& prefix : m_RemovedPrefixes) {
            removed = removed || name.compare(0, prefix.size(), prefix) == 0;
        }
        if (!removed) {
            entries.push_back(entry);
        }
    }
    for (const auto& [name, value] : m_Changes) {
        if (value) {
            entries.push_back(name + "=" + *value);
        }
    }
    return entries;
}

ChildProcess::Result ChildProcess::Run(std::chrono::milliseconds timeout) const {
    Result result;
    std::vector<std::string> environment = BuildEnvironment();
    std::vector<char*> argv;
    for (const std::string& argument : m_Arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    Pipe out;
    Pipe err;
    if (::pipe2(out.fds, O_CLOEXEC) != 0 || ::pipe2(err.fds, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so a kill at the time limit reaches anything the program started.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    pid_t pid = -1;
    const int spawnError =
        posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) {
        result.error = "can't start '" + m_Arguments[0] + "': " + std::strerror(spawnError);
        return result;
    }
    result.started = true;
    out.CloseWriteEnd();
    err.CloseWriteEnd();

    // Read both streams until the child closes them or the time runs out.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd fds[2] = {{outOpen ? out.fds[0] : -1, POLLIN, 0},
                         {errOpen ? err.fds[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            result.timedOut = true;
            break;
        }
        if (outOpen && fds[0].revents != 0) {
            outOpen = Drain(out.fds[0], &result.out);
        }
        if (errOpen && fds[1].revents != 0) {
            errOpen = Drain(err.fds[0], &result.err);
        }
    }

    // Both streams closed: the child is exiting. Wait for it within what is left of the time.
    int status = 0;
    if (!result.timedOut && WaitForExit(pid, deadline)) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        RecordStatus(status, &result);
        return result;
    }
    result.timedOut = true;
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    RecordStatus(status, &result);
    return result;
}
