// Runs a program as a child process with changes to the inherited environment, collects what it
// writes to standard output and standard error and how it ended. A child still running at the
// time limit is killed with its whole process group, so a hung runtime fails a test instead of
// hanging it.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
public:
    struct Result {
        bool started = false;  // false: the program could not be started; `error` says why
        bool timedOut = false;
        int exitCode = -1;  // the exit status when the program ended by itself
        int signal = 0;     // the signal that ended it, 0 if none
        std::string out;
        std::string err;
        std::string error;
    };

    // arguments[0] is the program, found on PATH when it has no slash.
    explicit ChildProcess(std::vector<std::string> arguments);

    void SetVariable(const std::string& name, const std::string& value);
    void RemoveVariable(const std::string& name);
    // Removes every inherited variable whose name begins with `prefix`.
    void RemoveVariablesStartingWith(const std::string& prefix);

    // Standard input is /dev/null.
    Result Run(std::chrono::milliseconds timeout) const;

private:
    std::vector<std::string> BuildEnvironment() const;

    std::vector<std::string> m_Arguments;
    // A value sets the variable, an empty optional removes it.
    std::map<std::string, std::optional<std::string>> m_Changes;
    std::vector<std::string> m_RemovedPrefixes;
};
