#include "ProcessRecorder.h"

#include <system_error>

#include "Controller/SectionTypes.h"
#include "Controller/SnapshotFile.h"
#include "RecordingSummary.h"

namespace Qvprof {

namespace {

using Controller::ControllerEvent;
using Controller::EventKind;

constexpr DWORD EventPollMilliseconds = 50;
// The note of a snapshot that our own Close cut short.
constexpr const char* ClosedByUs = "the session was closed";

uint64_t FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

}  // namespace

ProcessRecorder::ProcessRecorder(Platform::SocketHandle socket, Controller::SessionOptions options,
                                 Context context, unsigned serial)
    : m_Context(context) {
    m_Record.serial = serial;
    m_Thread = std::thread(&ProcessRecorder::Run, this, socket, std::move(options));
}

ProcessRecorder::~ProcessRecorder() {
    Abort();
    Join();
}

void ProcessRecorder::RequestDump() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Requests |= DumpRequest;
}

void ProcessRecorder::RequestToggle() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Requests |= ToggleRequest;
}

void ProcessRecorder::RequestFinish(bool processRunning) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Requests |= FinishRequest;
    m_FinishRunning = processRunning;
}

void ProcessRecorder::Abort() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Aborted = true;
}

bool ProcessRecorder::IsDone() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Done;
}

void ProcessRecorder::Join() {
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
}

ProcessRecord ProcessRecorder::Record() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Record;
}

void ProcessRecorder::Run(Platform::SocketHandle socket, Controller::SessionOptions options) {
    if (Handshake(socket, std::move(options))) {
        Follow();
    }
    if (m_pSession) {
        if (m_Finishing && m_ProcessRunning && m_pSession->IsConnected()) {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Record.letGo = true;
        }
        m_pSession->Close();
        for (const auto& [text, count] : m_Repeats) {
            if (count > 1) {
                m_Context.console.Info(Record().Title() + ": the profiler said " +
                                       std::to_string(count) + " times: " + text);
            }
        }
        // Complete snapshots that arrived before the end are kept; the one our own Close cut
        // short is dropped.
        while (auto event = m_pSession->WaitNext(0)) {
            if (event->kind == EventKind::Snapshot && event->snapshot != nullptr &&
                event->snapshot->note.find(ClosedByUs) == std::string::npos) {
                Save(*event->snapshot);
            }
        }
        m_pSession.reset();
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Done = true;
}

bool ProcessRecorder::Handshake(Platform::SocketHandle socket, Controller::SessionOptions options) {
    options.acceptProcess = [this](const Controller::ProcessInfo& info) {
        const AdmissionPolicy::Decision decision = m_Context.policy.Decide(info.commandLine);
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Record.processId = info.processId;
        m_Record.commandLine = info.commandLine;
        m_Record.logFilePath = info.logFilePath;
        m_Record.program = SnapshotNamer::ProgramName(info.commandLine);
        m_Record.reason = decision.reason;
        return decision.admitted;
    };
    m_pSession = std::make_unique<Controller::Session>(std::move(options));
    try {
        const Controller::ProcessInfo& info = m_pSession->Adopt(socket);
        std::lock_guard<std::mutex> guard(m_Lock);
        if (info.outcome != Controller::HandshakeOutcome::Running) {
            m_Record.outcome = ProcessRecord::Outcome::Refused;
            return false;
        }
        m_Record.outcome = ProcessRecord::Outcome::Profiled;
    } catch (const std::exception& error) {
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Record.outcome = ProcessRecord::Outcome::Failed;
            m_Record.reason = error.what();
        }
        m_Context.console.Warning(Record().Title() + ": " + error.what());
        return false;
    }
    const ProcessRecord record = Record();
    m_Context.console.Info("profiling " + record.Title() + ": " + record.commandLine);
    return true;
}

void ProcessRecorder::Follow() {
    m_LastEvent = std::chrono::steady_clock::now();
    for (;;) {
        unsigned requests = 0;
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            if (m_Aborted) {
                return;
            }
            requests = m_Requests;
            m_Requests = 0;
            if ((requests & FinishRequest) != 0) {
                m_ProcessRunning = m_FinishRunning;
            }
        }
        CarryOut(requests);
        if (m_Finishing && FinishReached()) {
            return;
        }
        if (const auto event = m_pSession->WaitNext(EventPollMilliseconds)) {
            m_LastEvent = std::chrono::steady_clock::now();
            if (!Handle(*event)) {
                return;
            }
        } else if (m_Finishing && std::chrono::steady_clock::now() - m_LastEvent > SilenceLimit) {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Record.problems.push_back("gave up waiting: the process sent nothing for " +
                                        std::to_string(SilenceLimit.count()) + " s");
            return;
        }
    }
}

void ProcessRecorder::CarryOut(unsigned requests) {
    const bool memory = m_Context.mode == ProfilerMode::Memory;
    if ((requests & DumpRequest) != 0 && memory) {
        Send(&Controller::Session::Dump);
        m_AwaitingDone = true;
    }
    if ((requests & ToggleRequest) != 0) {
        if (memory) {
            Send(&Controller::Session::Dump);
            m_AwaitingDone = true;
        } else if (m_Measuring) {
            Send(&Controller::Session::StopSave);
        } else {
            Send(&Controller::Session::Start);
        }
    }
    if ((requests & FinishRequest) != 0 && !m_Finishing) {
        m_Finishing = true;
        m_LastEvent = std::chrono::steady_clock::now();
        if (!m_ProcessRunning) {
            return;  // ending by itself: its own shutdown saves what it measured
        }
        if (m_Measuring) {
            Send(&Controller::Session::StopSave);
            m_AwaitingStop = true;
        } else if (memory && m_Context.dumpAtEnd) {
            Send(&Controller::Session::Dump);
            m_AwaitingDone = true;
        }
    }
}

void ProcessRecorder::Send(void (Controller::Session::*command)()) {
    try {
        (m_pSession.get()->*command)();
    } catch (const std::exception&) {
        // The connection has ended; its events say why.
    }
}

void ProcessRecorder::SetMeasuring(bool measuring) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Record.measuring = measuring;
}

bool ProcessRecorder::HoldsHeapData(const Controller::Snapshot& snapshot) {
    for (const Controller::SnapshotSection& section : snapshot.sections) {
        const bool heap = section.type >= Controller::CollectionStartSectionType;
        if ((heap || !section.closed) && !section.bytes.empty()) {
            return true;
        }
    }
    return false;
}

bool ProcessRecorder::FinishReached() const {
    // A process ending by itself is followed to the end of its connection.
    return m_ProcessRunning && !m_AwaitingStop && !m_AwaitingDone;
}

bool ProcessRecorder::Handle(const ControllerEvent& event) {
    const std::string title = Record().Title();
    switch (event.kind) {
        case EventKind::Started:
            m_Measuring = true;
            SetMeasuring(true);
            break;
        case EventKind::Stopped:
            m_Measuring = false;
            m_AwaitingStop = false;
            SetMeasuring(false);
            break;
        case EventKind::Done:
            m_AwaitingDone = false;
            break;
        case EventKind::OperationStarted:
            m_Operation = event.operation;
            m_Context.console.Progress(OperationKey(m_Operation), OperationLabel(m_Operation), 0,
                                       1);
            break;
        case EventKind::OperationProgress:
            m_Context.console.Progress(OperationKey(m_Operation), OperationLabel(m_Operation),
                                       event.value, event.total);
            break;
        case EventKind::OperationFinished:
            m_Context.console.ProgressDone(OperationKey(m_Operation));
            break;
        case EventKind::LogNotification:
            // A text is shown once as it comes; how often it came is said at the end.
            if (++m_Repeats[event.text] == 1) {
                {
                    std::lock_guard<std::mutex> guard(m_Lock);
                    m_Record.profilerMessages.insert(event.text);
                }
                m_Context.console.Write(
                    event.logKind == 1 ? Console::Level::Error : Console::Level::Warning,
                    title + ": the profiler says: " + event.text);
            }
            break;
        case EventKind::SnapshotStarted:
            break;
        case EventKind::Snapshot:
            if (event.snapshot != nullptr) {
                Save(*event.snapshot);
            }
            break;
        case EventKind::Error: {
            m_Context.console.Warning(title + ": " + event.text);
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Record.problems.push_back(event.text);
            break;
        }
        case EventKind::Disconnected:
            m_AwaitingStop = false;
            m_AwaitingDone = false;
            return false;
    }
    return true;
}

void ProcessRecorder::Save(const Controller::Snapshot& snapshot) {
    const ProcessRecord record = Record();
    // The memory kind drops the snapshot it keeps open between dumps when the process ends.
    const bool dropped = m_Context.mode == ProfilerMode::Memory && snapshot.aborted;
    if (dropped && !HoldsHeapData(snapshot)) {
        // It holds only the process's identity.
        m_Context.console.Info(record.Title() +
                               ": ended with no heap dump since its last snapshot; nothing more "
                               "to save (take dumps with --dump-after, SIGUSR1 or the program's "
                               "own API calls)");
        return;
    }
    SavedSnapshot saved;
    saved.complete = snapshot.complete;
    // What arrived of its collections and allocations since the last dump is kept.
    saved.note = snapshot.note;
    saved.sections = snapshot.sections.size();
    try {
        saved.path = m_Context.namer.Reserve(record.program, record.processId).string();
        Controller::SnapshotFile::Write(saved.path, snapshot);
    } catch (const std::exception& error) {
        m_Context.console.Error(record.Title() +
                                ": the snapshot could not be saved: " + error.what());
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Record.problems.push_back(std::string("a snapshot was lost: ") + error.what());
        return;
    }
    saved.bytes = FileSize(saved.path);
    m_Context.console.Info(record.Title() + ": snapshot saved to " + saved.path + " (" +
                           RecordingSummary::Size(saved.bytes) +
                           (saved.complete ? ")" : ", incomplete: " + saved.note + ")"));
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Record.snapshots.push_back(std::move(saved));
}

std::string ProcessRecorder::OperationLabel(uint32_t operation) const {
    const std::string title = Record().Title();
    if (operation == 1) {
        return title + ": flushing call trees";
    }
    return title + (m_Context.mode == ProfilerMode::Memory ? ": dumping the heap"
                                                           : ": writing the snapshot");
}

std::string ProcessRecorder::OperationKey(uint32_t operation) const {
    return std::to_string(m_Record.serial) + "/" + std::to_string(operation);
}

}  // namespace Qvprof
