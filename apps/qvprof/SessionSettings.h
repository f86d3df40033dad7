// Turns the user's options into what the controller answers in each process's handshake: control
// kind, snapshot transport and the settings message of the kind.
#pragma once

#include <string>

#include "Controller/SessionOptions.h"
#include "ProfilingOptions.h"

namespace Qvprof {

class SessionSettings {
public:
    // The options that do not fit together or do not apply to the chosen kind, as one message
    // naming the options; empty when they are consistent.
    static std::string Check(const ProfilingOptions& options);
    // A warning for options that fit together but are likely to record less than the user
    // expects; empty when there is none.
    static std::string Advise(const ProfilingOptions& options);

    // The handshake answers for every profiled process; `controllerText` goes into every
    // snapshot's environment record.
    static Controller::SessionOptions Build(const ProfilingOptions& options,
                                            const std::string& controllerText);
};

}  // namespace Qvprof
