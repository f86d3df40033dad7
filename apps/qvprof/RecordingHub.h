// Every process of one recording: listens on the loopback port, gives each connection a recorder
// of its own at once (so no process waits for another's handshake), and passes the recording's
// requests (dumps, start and stop, the end) on to all of them.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AdmissionPolicy.h"
#include "Console.h"
#include "Controller/ConnectionListener.h"
#include "Controller/SessionOptions.h"
#include "ProcessRecorder.h"
#include "ProfilingOptions.h"
#include "SnapshotNamer.h"

namespace Qvprof {

class RecordingHub {
public:
    // How often the acceptor looks whether it is asked to stop.
    static constexpr DWORD AcceptPollMilliseconds = 100;

    RecordingHub(Console& console, const ProfilingOptions& options,
                 Controller::SessionOptions sessionOptions);
    // Aborts whatever still runs.
    ~RecordingHub();

    RecordingHub(const RecordingHub&) = delete;
    RecordingHub& operator=(const RecordingHub&) = delete;

    // Listens and starts accepting processes. Raises std::runtime_error when the port cannot be
    // had. Returns the port.
    WORD Start(WORD port);

    // Each returns how many recorders still follow their process and so got the request.
    size_t DumpAll();
    size_t ToggleAll();

    // Ends the recording: processes that connect later are refused with `reason`; each profiled
    // process is asked to finish (`isRunning` tells a process that still runs from one that is
    // ending). Returns at once; AllDone tells when the last snapshots are in.
    void RequestStop(const std::string& reason, const std::function<bool(uint32_t)>& isRunning);
    bool IsRecording() const { return !m_Stopped.load(); }
    bool AllDone() const;
    // Every connection ends at once.
    void Abort();
    // Stops listening and joins every thread. Call after StopRecording or Abort.
    void Close();

    std::vector<ProcessRecord> Records() const;
    // True when some profiled process has ended its connection.
    bool AnyProfiledProcessEnded() const;

private:
    void AcceptLoop();
    std::vector<ProcessRecorder*> Recorders() const;
    // Makes the request of every recorder not done yet; answers how many were asked.
    size_t AskUnfinished(void (ProcessRecorder::*request)());

    Console& m_Console;
    const ProfilingOptions m_Options;
    const Controller::SessionOptions m_SessionOptions;
    SnapshotNamer m_Namer;
    AdmissionPolicy m_Policy;
    Controller::ConnectionListener m_Listener;

    std::atomic<bool> m_StopAccepting{false};
    std::atomic<bool> m_Stopped{false};
    std::thread m_Acceptor;

    // Guards m_Recorders; taken by the acceptor as it adds one, and by the owner's requests.
    // Recorders are never removed before Close.
    mutable std::mutex m_Lock;
    std::vector<std::unique_ptr<ProcessRecorder>> m_Recorders;
};

}  // namespace Qvprof
