// What the session reports to its caller: the profiler's notifications, received snapshots,
// faults and the end of the connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Controller/Snapshot.h"

namespace Controller {

enum class EventKind {
    Started,             // 0x90: measuring started (manual control)
    Stopped,             // 0x91: measuring stopped
    Done,                // 0xA0: the memory profiler finished a request
    OperationStarted,    // 0xF0: `operation`
    OperationProgress,   // 0xF2: `value` of `total`
    OperationFinished,   // 0xF1
    LogNotification,     // 0xFE: `logKind` 0 warning, 1 error; `text`
    SnapshotStarted,     // 0xE0: `magic`
    Snapshot,            // a snapshot ended, whole or not: `snapshot`
    Error,               // a fault, `text` says what happened
    Disconnected,        // the connection is over; `text` says why
};

// Lower-case name of a kind, for messages.
const char* EventKindName(EventKind kind);

struct ControllerEvent {
    EventKind kind = EventKind::Error;
    uint32_t operation = 0;
    uint32_t value = 0;
    uint32_t total = 0;
    uint32_t magic = 0;
    uint8_t logKind = 0;
    std::string text;
    std::shared_ptr<const Controller::Snapshot> snapshot;
};

}  // namespace Controller
