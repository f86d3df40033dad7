// What a profiled process told the controller about itself in the handshake, and how the
// handshake ended.
#pragma once

#include <string>
#include <vector>

#include "Platform/Types.h"

namespace Controller {

enum class ProfilerKind {
    Unknown,
    Performance,  // tracing or sampling
    Memory,
};

enum class HandshakeOutcome {
    Running,            // run was sent: the profiler is live
    VersionRefused,     // the options refused the protocol version
    ConnectionRefused,  // the options refused the connection
    RunRefused,         // everything was sent, then run = 0
};

struct ProcessInfo {
    GUID protocolGuid{};
    GUID clientGuid{};
    ProfilerKind kind = ProfilerKind::Unknown;
    GUID processGuid{};
    // Texts as standard UTF-8.
    std::string logFilePath;  // empty when the profiler keeps no log file
    DWORD processId = 0;
    std::string commandLine;
    std::vector<std::string> environment;
    HandshakeOutcome outcome = HandshakeOutcome::Running;
};

}  // namespace Controller
