// Receives every warning and error text the log writes (without the line prefix). The command
// processor implements it to pass them on to the controller.
#pragma once

class LogSink {
public:
    // Called under the log lock: an implementation must not write to the log.
    virtual void OnWarning(const char* pText) = 0;
    virtual void OnError(const char* pText) = 0;

protected:
    ~LogSink() = default;
};
