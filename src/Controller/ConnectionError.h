// A failure of the connection itself (as opposed to what travels on it), with its cause.
#pragma once

#include <stdexcept>
#include <string>

namespace Controller {

class ConnectionError : public std::runtime_error {
public:
    enum class Cause {
        Closed,    // the peer ended the connection
        TimedOut,  // nothing arrived within the allowed time
        Stopped,   // we shut the connection down ourselves
        Failed,    // the system reported an error
    };

    ConnectionError(Cause cause, const std::string& message)
        : std::runtime_error(message), m_Cause(cause) {}

    Cause GetCause() const { return m_Cause; }

private:
    Cause m_Cause;
};

}  // namespace Controller
