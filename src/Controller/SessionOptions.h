// The controller's choices for one profiled process: its answers in the handshake and how the
// session treats the connection afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Controller/MemorySettings.h"
#include "Controller/PerformanceSettings.h"
#include "Controller/ProcessInfo.h"
#include "Controller/ProtocolConstants.h"
#include "Platform/Types.h"

namespace Controller {

struct SessionOptions {
    // Handshake answers; clearing one of the three flags refuses at that step.
    bool acceptVersion = true;
    bool acceptConnection = true;
    bool run = true;
    // Asked once the process has announced itself (kind, process id, command line), before our
    // answers: false refuses the connection, and the process runs on without a profiler. Called
    // on the thread that runs the handshake; empty accepts every process.
    std::function<bool(const ProcessInfo&)> acceptProcess;
    uint8_t snapshotType = SnapshotTypeBridgeStream;
    uint8_t controlKind = ControlKindManual;
    // Sent in this order; at most 255.
    std::vector<std::pair<WString, bool>> namedFlags;
    // Free text that the profiler copies into every snapshot's environment record.
    std::string controllerText;
    // The kind's settings message, chosen by the client GUID the profiler sends.
    PerformanceSettings performance;
    MemorySettings memory;

    // Longest silence of the profiled process inside the handshake.
    DWORD handshakeTimeout = 10000;
    // Idle is sent after this much quiet on our side; INFINITE sends none.
    DWORD idleInterval = 200;
    // Delete a file snapshot's index and data files once they have been read.
    bool removeFileSnapshots = false;
    // Largest section we hold in memory; a seek or write beyond it is a protocol error.
    int64_t maxSectionSize = int64_t(1) << 30;
};

}  // namespace Controller
