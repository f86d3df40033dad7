#include "CommandProcessor/CommandProcessor.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Platform/Process.h"
#include "Util/Assert.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"
#include "WinCE/IPALTools.h"

namespace {

constexpr char RESULT_QUEUE_PROBLEM[] = "Result queue problem detected";
constexpr char WAIT_INTERRUPTED[] = "Event waiting was interrupted";

constexpr BYTE NOTIFICATION_WARNING = 0;
constexpr BYTE NOTIFICATION_ERROR = 1;

// Header of a section write: code, handle, count.
constexpr size_t SECTION_WRITE_HEADER = 1 + 2 + 4;
// Section data up to this size travels in the same host call as its header.
constexpr size_t INLINE_WRITE_LIMIT = PAL_MAX_TRANSFER - SECTION_WRITE_HEADER;

bool IsBridgeLogged() {
    return Log::IsEnabled(LogComponent::Bridge);
}

}  // namespace

CommandProcessor::CommandProcessor(IBridgeStream* pStream, DWORD controlKind, DWORD snapshotType)
    : m_ControlKind(controlKind), m_pStream(pStream), m_SnapshotType(snapshotType) {
    QV_ASSERT(m_pStream);
}

CommandProcessor::~CommandProcessor() {
    if (m_Active) {
        Log::SetSink(nullptr);
    }
}

void CommandProcessor::Activate() {
    Log::SetSink(this);
    m_Active = true;
}

void CommandProcessor::Deactivate() {
    Log::SetSink(nullptr);
    m_Active = false;
}

DWORD CommandProcessor::GetSnapShotType() {
    SpinLockGuard guard(m_SnapshotTypeLock);
    return m_SnapshotType;
}

void CommandProcessor::ReadCommand() {
    struct ReaderScope {
        explicit ReaderScope(std::atomic<DWORD>& id) : m_Id(id) {
            m_Id = Platform::GetCurrentThreadId();
        }
        ~ReaderScope() { m_Id = 0; }
        std::atomic<DWORD>& m_Id;
    } reader(m_ReaderThreadId);

    const BYTE code = ReadU8(*m_pStream);
    if (!ProcessCommand(code)) {
        throw std::runtime_error("Unknown bridge command");
    }
}

bool CommandProcessor::ProcessCommand(BYTE code) {
    switch (code) {
        case CommandCreateSectionResult:
            ProcessCreateSectionResult();
            return true;
        case CommandTellResult:
            ProcessTellResult();
            return true;
        case CommandChangeLogMask:
            ProcessChangeLogMask();
            return true;
        case CommandChangeSnapShotType:
            ProcessChangeSnapShotType();
            return true;
        case CommandIdle:
            if (IsBridgeLogged()) {
                Log::Message("CP::ProcessCommand Idle");
            }
            return true;
        default:
            return false;
    }
}

void CommandProcessor::ProcessCreateSectionResult() {
    const DWORD id = ReadU32(*m_pStream);
    const WORD handle = ReadU16(*m_pStream);
    if (IsBridgeLogged()) {
        Log::Format("CP::ProcessCommand SnapShotBridgeCreateSectionResult id=%u handle=%hu", id,
                    handle);
    }
    TakeRequest(CommandCreateSectionResult, id)->Complete(handle);
}

void CommandProcessor::ProcessTellResult() {
    const DWORD id = ReadU32(*m_pStream);
    const int64_t position = ReadI64(*m_pStream);
    if (IsBridgeLogged()) {
        Log::Format("CP::ProcessCommand SnapShotBridgeTellResult id=%hu pos=%lld", id,
                    static_cast<long long>(position));
    }
    TakeRequest(CommandTellResult, id)->Complete(position);
}

void CommandProcessor::ProcessChangeLogMask() {
    const DWORD maskSet = ReadU32(*m_pStream);
    const DWORD maskClear = ReadU32(*m_pStream);
    if (IsBridgeLogged()) {
        Log::Format("CP::ProcessCommand ChangeLogMask maskSet=%08X maskClear=%08X", maskSet,
                    maskClear);
    }
    Log::Update(maskSet, maskClear);
}

void CommandProcessor::ProcessChangeSnapShotType() {
    const BYTE type = ReadU8(*m_pStream);
    if (IsBridgeLogged()) {
        Log::Format("CP::ProcessCommand ChangeSnapShotType type=%d", type);
    }
    SpinLockGuard guard(m_SnapshotTypeLock);
    m_SnapshotType = type;
}

std::shared_ptr<ResultEvent> CommandProcessor::TakeRequest(BYTE code, DWORD id) {
    ResultInfo record;
    {
        SpinLockGuard guard(m_ResultLock);
        if (m_Results.empty()) {
            throw std::runtime_error(RESULT_QUEUE_PROBLEM);
        }
        record = std::move(m_Results.front());
        m_Results.pop_front();
    }
    if (record.m_Id != id || record.m_ReplyCode != code) {
        // The record is gone from the queue, so its requester must not wait any longer.
        record.m_pEvent->Fail(ResultEvent::Outcome::Mismatched);
        throw std::runtime_error(RESULT_QUEUE_PROBLEM);
    }
    return std::move(record.m_pEvent);
}

void CommandProcessor::EndReplies() {
    std::deque<ResultInfo> waiting;
    {
        SpinLockGuard guard(m_ResultLock);
        m_RepliesEnded = true;
        waiting.swap(m_Results);
    }
    for (ResultInfo& record : waiting) {
        try {
            record.m_pEvent->Fail(ResultEvent::Outcome::Abandoned);
        } catch (const std::exception& e) {
            Log::LogException(e);
        }
    }
}

template <class Compose>
int64_t CommandProcessor::RequestReply(BYTE replyCode, Compose&& compose) {
    if (m_ReaderThreadId.load() == Platform::GetCurrentThreadId()) {
        throw std::runtime_error("Bridge reply requested on the thread that reads replies");
    }
    auto pEvent = std::make_shared<ResultEvent>();
    {
        SpinLockGuard writeGuard(m_WriteLock);
        DWORD id = 0;
        {
            SpinLockGuard resultGuard(m_ResultLock);
            if (m_RepliesEnded) {
                throw std::runtime_error(WAIT_INTERRUPTED);
            }
            id = m_NextResultId++;
            m_Results.push_back(ResultInfo{id, replyCode, pEvent});
        }
        try {
            m_Message.Clear();
            compose(id);
            SendMessage();
        } catch (...) {
            ForgetRequest(id);
            throw;
        }
    }
    switch (pEvent->Wait()) {
        case ResultEvent::Outcome::Completed:
            return pEvent->GetValue();
        case ResultEvent::Outcome::Mismatched:
            throw std::runtime_error(RESULT_QUEUE_PROBLEM);
        default:
            throw std::runtime_error(WAIT_INTERRUPTED);
    }
}

void CommandProcessor::ForgetRequest(DWORD id) noexcept {
    SpinLockGuard guard(m_ResultLock);
    for (auto it = m_Results.begin(); it != m_Results.end(); ++it) {
        if (it->m_Id == id) {
            m_Results.erase(it);
            return;
        }
    }
}

void CommandProcessor::SendMessage() {
    m_pStream->Write(m_Message.GetData(), m_Message.GetSize());
}

void CommandProcessor::OperationStarted(DWORD operation) {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Format("CP::OperationStarted operation=%u", operation);
    }
    if (m_OperationRunning) {
        throw std::runtime_error("Only one operation is allow in the same time");
    }
    m_Message.Clear();
    WriteU8(m_Message, MessageOperationStarted);
    WriteU8(m_Message, static_cast<uint8_t>(operation));
    SendMessage();
    m_OperationRunning = true;
}

void CommandProcessor::OperationProgress(DWORD value, DWORD total) {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Format("CP::OperationProgress value=%u/%u", value, total);
    }
    if (!m_OperationRunning) {
        throw std::runtime_error("There wasn't started event");
    }
    m_Message.Clear();
    WriteU8(m_Message, MessageOperationProgress);
    WriteU32(m_Message, value);
    WriteU32(m_Message, total);
    SendMessage();
}

void CommandProcessor::OperationFinished() {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Message("CP::OperationFinished");
    }
    if (!m_OperationRunning) {
        throw std::runtime_error("There wasn't started event");
    }
    // The operation is over on this side even if the controller cannot be told: a broken line
    // must not make every later operation fail as a second one.
    m_OperationRunning = false;
    m_Message.Clear();
    WriteU8(m_Message, MessageOperationFinished);
    SendMessage();
}

void CommandProcessor::SnapShotBridgeCreate(DWORD magic) {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Format("CP::SnapShotBridgeCreate magic=%08X", magic);
    }
    m_Message.Clear();
    WriteU8(m_Message, MessageSnapShotCreate);
    WriteU32(m_Message, magic);
    SendMessage();
}

WORD CommandProcessor::SnapShotBridgeCreateSection() {
    const int64_t handle = RequestReply(CommandCreateSectionResult, [this](DWORD id) {
        WriteU8(m_Message, MessageSectionCreate);
        WriteU32(m_Message, id);
    });
    return static_cast<WORD>(handle);
}

void CommandProcessor::SnapShotBridgeCloseSection(WORD handle, WORD type, WORD version) {
    SpinLockGuard guard(m_WriteLock);
    m_Message.Clear();
    WriteU8(m_Message, MessageSectionClose);
    WriteU16(m_Message, handle);
    WriteU16(m_Message, type);
    WriteU16(m_Message, version);
    SendMessage();
}

void CommandProcessor::SnapShotBridgeWrite(WORD handle, size_t count, const void* pData) {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Format("CP::SnapShotBridgeWrite handle=%hu count=%d", handle, static_cast<int>(count));
    }
    m_Message.Clear();
    WriteU8(m_Message, MessageSectionWrite);
    WriteU16(m_Message, handle);
    WriteSizeTAsUInt32(m_Message, count);
    if (count <= INLINE_WRITE_LIMIT) {
        if (count != 0) {
            m_Message.Write(pData, count);
        }
        SendMessage();
    } else {
        SendMessage();
        m_pStream->Write(pData, count);
    }
}

int64_t CommandProcessor::SnapShotBridgeTell(WORD handle) {
    return RequestReply(CommandTellResult, [this, handle](DWORD id) {
        if (IsBridgeLogged()) {
            Log::Format("CP::SnapShotBridgeTell handle=%hu id=%hu", handle, id);
        }
        WriteU8(m_Message, MessageSectionTell);
        WriteU16(m_Message, handle);
        WriteU32(m_Message, id);
    });
}

void CommandProcessor::SnapShotBridgeSeek(WORD handle, DWORD origin, int64_t offset) {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Format("CP::SnapShotBridgeSeek handle=%hu origin=%d offset=%lld", handle, origin,
                    static_cast<long long>(offset));
    }
    m_Message.Clear();
    WriteU8(m_Message, MessageSectionSeek);
    WriteU16(m_Message, handle);
    WriteU8(m_Message, static_cast<uint8_t>(origin));
    WriteI64(m_Message, offset);
    SendMessage();
}

void CommandProcessor::SnapShotBridgeAbort() {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Message("CP::SnapShotBridgeAbort");
    }
    m_Message.Clear();
    WriteU8(m_Message, MessageSnapShotAbort);
    SendMessage();
}

void CommandProcessor::SnapShotBridgeClose(DWORD snapshotIndex, const GUID& sequence,
                                           DWORD sequenceNumber) {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Message("CP::SnapShotBridgeClose");
    }
    m_Message.Clear();
    WriteU8(m_Message, MessageSnapShotClose);
    WriteSizeTAsUInt32(m_Message, snapshotIndex);
    WriteGuid(m_Message, sequence);
    WriteSizeTAsUInt32(m_Message, sequenceNumber);
    SendMessage();
}

void CommandProcessor::SnapShotCoreDone(const WString& path, DWORD snapshotIndex,
                                        const GUID& sequence, DWORD sequenceNumber) {
    SpinLockGuard guard(m_WriteLock);
    m_Message.Clear();
    WriteU8(m_Message, MessageSnapShotCoreDone);
    WriteSizeTAsUInt32(m_Message, snapshotIndex);
    WriteGuid(m_Message, sequence);
    WriteSizeTAsUInt32(m_Message, sequenceNumber);
    WriteString(m_Message, std::u16string_view(path));
    SendMessage();
}

void CommandProcessor::WriteStateMessage(const char* pLogText, BYTE code) {
    SpinLockGuard guard(m_WriteLock);
    if (IsBridgeLogged()) {
        Log::Message(pLogText);
    }
    if (m_ControlKind != 0) {
        throw std::runtime_error("API is used");
    }
    m_Message.Clear();
    WriteU8(m_Message, code);
    SendMessage();
}

void CommandProcessor::OnWarning(const char* pText) {
    Notify(NOTIFICATION_WARNING, WarningLimit, m_WarningCount, pText);
}

void CommandProcessor::OnError(const char* pText) {
    Notify(NOTIFICATION_ERROR, ErrorLimit, m_ErrorCount, pText);
}

void CommandProcessor::Notify(BYTE kind, DWORD limit, std::atomic<DWORD>& count,
                              const char* pText) noexcept {
    if (count.load() >= limit) {
        return;
    }
    // A writer holding the lock may be waiting for the log lock our caller holds: never wait.
    if (!m_WriteLock.TryAcquire()) {
        return;
    }
    try {
        if (count.fetch_add(1) + 1 > limit) {
            count.fetch_sub(1);
        } else {
            m_Message.Clear();
            WriteU8(m_Message, MessageLogNotification);
            WriteU8(m_Message, kind);
            WriteString(m_Message, pText);
            SendMessage();
        }
    } catch (...) {
        // Nothing can be logged under the log lock; the controller simply misses this one.
    }
    m_WriteLock.Release();
}
