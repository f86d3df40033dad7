#include "Controller/ControllerEvent.h"

namespace Controller {

const char* EventKindName(EventKind kind) {
    switch (kind) {
    case EventKind::Started:
        return "started";
    case EventKind::Stopped:
        return "stopped";
    case EventKind::Done:
        return "done";
    case EventKind::OperationStarted:
        return "operation started";
    case EventKind::OperationProgress:
        return "operation progress";
    case EventKind::OperationFinished:
        return "operation finished";
    case EventKind::LogNotification:
        return "log notification";
    case EventKind::SnapshotStarted:
        return "snapshot started";
    case EventKind::Snapshot:
        return "snapshot";
    case EventKind::Error:
        return "error";
    case EventKind::Disconnected:
        return "disconnected";
    }
    return "unknown";
}

}  // namespace Controller
