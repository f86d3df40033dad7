#include "RecordingHub.h"

namespace Qvprof {

RecordingHub::RecordingHub(Console& console, const ProfilingOptions& options,
                           Controller::SessionOptions sessionOptions)
    : m_Console(console),
      m_Options(options),
      m_SessionOptions(std::move(sessionOptions)),
      m_Namer(options.outputDirectory),
      m_Policy(options.firstOnly, options.match) {}

RecordingHub::~RecordingHub() {
    Abort();
    Close();
}

WORD RecordingHub::Start(WORD port) {
    const WORD listening = m_Listener.Listen(port);
    m_Acceptor = std::thread(&RecordingHub::AcceptLoop, this);
    return listening;
}

void RecordingHub::AcceptLoop() {
    const ProcessRecorder::Context context{m_Console, m_Namer, m_Policy, m_Options.mode,
                                           m_Options.dumpAtEnd};
    unsigned serial = 0;
    while (!m_StopAccepting.load()) {
        Platform::SocketHandle socket = nullptr;
        try {
            socket = m_Listener.Accept(AcceptPollMilliseconds);
        } catch (const std::exception& error) {
            m_Console.Error(error.what());
            return;
        }
        if (socket == nullptr) {
            continue;
        }
        auto pRecorder =
            std::make_unique<ProcessRecorder>(socket, m_SessionOptions, context, ++serial);
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Recorders.push_back(std::move(pRecorder));
    }
}

std::vector<ProcessRecorder*> RecordingHub::Recorders() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<ProcessRecorder*> recorders;
    for (const auto& pRecorder : m_Recorders) {
        recorders.push_back(pRecorder.get());
    }
    return recorders;
}

size_t RecordingHub::AskUnfinished(void (ProcessRecorder::*request)()) {
    size_t asked = 0;
    for (ProcessRecorder* pRecorder : Recorders()) {
        if (!pRecorder->IsDone()) {
            (pRecorder->*request)();
            ++asked;
        }
    }
    return asked;
}

size_t RecordingHub::DumpAll() {
    return AskUnfinished(&ProcessRecorder::RequestDump);
}

size_t RecordingHub::ToggleAll() {
    return AskUnfinished(&ProcessRecorder::RequestToggle);
}

void RecordingHub::RequestStop(const std::string& reason,
                               const std::function<bool(uint32_t)>& isRunning) {
    m_Policy.Close(reason);
    m_Stopped.store(true);
    // Recorders added from here on belong to refused processes and end by themselves.
    for (ProcessRecorder* pRecorder : Recorders()) {
        const uint32_t processId = pRecorder->Record().processId;
        pRecorder->RequestFinish(processId == 0 || isRunning(processId));
    }
}

bool RecordingHub::AllDone() const {
    for (ProcessRecorder* pRecorder : Recorders()) {
        if (!pRecorder->IsDone()) {
            return false;
        }
    }
    return true;
}

void RecordingHub::Abort() {
    m_Policy.Close("qvprof was interrupted");
    m_Stopped.store(true);
    for (ProcessRecorder* pRecorder : Recorders()) {
        pRecorder->Abort();
    }
}

void RecordingHub::Close() {
    m_StopAccepting.store(true);
    if (m_Acceptor.joinable()) {
        m_Acceptor.join();
    }
    m_Listener.Close();
    for (ProcessRecorder* pRecorder : Recorders()) {
        pRecorder->Join();
    }
}

std::vector<ProcessRecord> RecordingHub::Records() const {
    std::vector<ProcessRecord> records;
    for (ProcessRecorder* pRecorder : Recorders()) {
        records.push_back(pRecorder->Record());
    }
    return records;
}

bool RecordingHub::AnyProfiledProcessEnded() const {
    for (ProcessRecorder* pRecorder : Recorders()) {
        if (pRecorder->IsDone() &&
            pRecorder->Record().outcome == ProcessRecord::Outcome::Profiled) {
            return true;
        }
    }
    return false;
}

}  // namespace Qvprof
