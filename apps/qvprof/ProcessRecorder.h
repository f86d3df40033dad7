// One connected process, on a thread of its own: runs the handshake (asking the admission policy
// whether to profile the process), then follows the session's events: snapshots are written to
// files as they arrive, the profiler's warnings and progress go to the console. The recording's
// owner sends requests (dump, start or stop, finish, abort), which this thread carries out, so
// that commands and the state they depend on stay on one thread.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AdmissionPolicy.h"
#include "Console.h"
#include "Controller/Session.h"
#include "ProcessRecord.h"
#include "ProfilerMode.h"
#include "SnapshotNamer.h"

namespace Qvprof {

class ProcessRecorder {
public:
    struct Context {
        Console& console;
        SnapshotNamer& namer;
        AdmissionPolicy& policy;
        ProfilerMode mode;
        bool dumpAtEnd;
    };

    // Longest silence of a process while qvprof waits for a snapshot or for the end of the
    // connection, before it gives up on it.
    static constexpr std::chrono::seconds SilenceLimit{60};

    // Takes the connection's socket; the thread starts at once.
    ProcessRecorder(Platform::SocketHandle socket, Controller::SessionOptions options,
                    Context context, unsigned serial);
    // Aborts and joins.
    ~ProcessRecorder();

    ProcessRecorder(const ProcessRecorder&) = delete;
    ProcessRecorder& operator=(const ProcessRecorder&) = delete;

    // A heap dump (memory kind).
    void RequestDump();
    // Starts measuring when it is off, stops and saves when it is on (performance kinds); a heap
    // dump for the memory kind.
    void RequestToggle();
    // Ends the recording of this process: a process that still runs is stopped and saved (and
    // dumped with --dump-at-end) and then let go, to run on without the profiler; for a process
    // that is ending by itself, the rest of what it sends is awaited.
    void RequestFinish(bool processRunning);
    // Ends the connection at once; snapshots not yet whole are dropped.
    void Abort();

    // True once the thread has nothing more to do.
    bool IsDone() const;
    void Join();
    ProcessRecord Record() const;

private:
    enum Request : unsigned { DumpRequest = 1, ToggleRequest = 2, FinishRequest = 4 };

    void Run(Platform::SocketHandle socket, Controller::SessionOptions options);
    bool Handshake(Platform::SocketHandle socket, Controller::SessionOptions options);
    void Follow();
    void CarryOut(unsigned requests);
    bool Handle(const Controller::ControllerEvent& event);
    void Save(const Controller::Snapshot& snapshot);
    void Send(void (Controller::Session::*command)());
    bool FinishReached() const;
    void SetMeasuring(bool measuring);
    static bool HoldsHeapData(const Controller::Snapshot& snapshot);
    std::string OperationLabel(uint32_t operation) const;
    std::string OperationKey(uint32_t operation) const;

    Context m_Context;
    std::unique_ptr<Controller::Session> m_pSession;

    // State of the connection, used by the recorder's thread only.
    bool m_Measuring = false;
    bool m_AwaitingStop = false;
    bool m_AwaitingDone = false;
    bool m_Finishing = false;
    bool m_ProcessRunning = true;
    std::chrono::steady_clock::time_point m_LastEvent;
    uint32_t m_Operation = 0;
    std::map<std::string, unsigned> m_Repeats;  // the profiler's messages, by how often they came

    // Guards m_Record, m_Requests, m_Aborted and m_Done; taken by the recorder's thread and by
    // the callers of the requests, never while waiting.
    mutable std::mutex m_Lock;
    ProcessRecord m_Record;
    unsigned m_Requests = 0;
    bool m_FinishRunning = true;
    bool m_Aborted = false;
    bool m_Done = false;

    std::thread m_Thread;
};

}  // namespace Qvprof
