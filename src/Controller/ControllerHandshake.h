// The controller's side of the connection handshake: reads what the profiler announces (protocol,
// kind, identity, log path, process id, command line, environment) and answers with the
// acceptance, the snapshot type, the control kind, the named flags, the controller text, the
// kind's settings and run.
#pragma once

#include "Bridge/IReadBridgeStream.h"
#include "Bridge/IWriteBridgeStream.h"
#include "Controller/ProcessInfo.h"
#include "Controller/SessionOptions.h"

namespace Controller {

class ControllerHandshake {
public:
    // Longest text accepted in the handshake (paths, command line, each environment string).
    static constexpr size_t MaxTextLength = 16 * 1024 * 1024;

    // Runs the whole exchange. A refusal chosen by the options ends it early and is reported in
    // the outcome. Anything else that goes wrong raises std::runtime_error saying what happened
    // and at which step; a refusal we had to make (an unknown protocol or kind) is sent first.
    static ProcessInfo Run(IReadBridgeStream& in, IWriteBridgeStream& out,
                           const SessionOptions& options);

private:
    static void ReadAnnouncement(IReadBridgeStream& in, ProcessInfo& info, const char*& pStep);
    static void WriteAnswers(IWriteBridgeStream& out, const ProcessInfo& info,
                             const SessionOptions& options);
};

}  // namespace Controller
