// The protocol engine on the bridge after the handshake. On the bridge's worker thread it reads one
// controller command at a time and dispatches it; on profiler threads it writes the profiler's
// messages: operation progress, snapshot sections, file-snapshot completion and the WARNING and
// ERROR log lines (it is the log's sink while active). Replies to requests are matched through a
// queue of ResultInfo records, oldest first.
//
// Derived processors supply the command thread (slots 3 and 4) and the control interface (slot 5);
// ControlledCommandProcessor gives them the IBridgeControl sub-object, forwarding to the
// operations below.
#pragma once

#include <atomic>
#include <deque>
#include <memory>

#include "Bridge/IBridgeControl.h"
#include "Bridge/IBridgeStream.h"
#include "Bridge/MemoryBridgeStream.h"
#include "CommandProcessor/ResultEvent.h"
#include "Util/SpinLock.h"
#include "Platform/Types.h"
#include "Util/LogSink.h"
#include "Util/SpinLock.h"

class CommandProcessor : private LogSink {
public:
    // Commands from the controller.
    static constexpr BYTE CommandCreateSectionResult = 0xE1;
    static constexpr BYTE CommandTellResult = 0xE4;
    static constexpr BYTE CommandChangeLogMask = 0xFD;
    static constexpr BYTE CommandChangeSnapShotType = 0xFE;
    static constexpr BYTE CommandIdle = 0xFF;

    // Messages to the controller.
    static constexpr BYTE MessageStarted = 0x90;
    static constexpr BYTE MessageStopped = 0x91;
    static constexpr BYTE MessageDone = 0xA0;
    static constexpr BYTE MessageSnapShotCreate = 0xE0;
    static constexpr BYTE MessageSectionCreate = 0xE1;
    static constexpr BYTE MessageSectionClose = 0xE2;
    static constexpr BYTE MessageSectionWrite = 0xE3;
    static constexpr BYTE MessageSectionTell = 0xE4;
    static constexpr BYTE MessageSectionSeek = 0xE5;
    static constexpr BYTE MessageSnapShotAbort = 0xE6;
    static constexpr BYTE MessageSnapShotClose = 0xE7;
    static constexpr BYTE MessageSnapShotCoreDone = 0xEF;
    static constexpr BYTE MessageOperationStarted = 0xF0;
    static constexpr BYTE MessageOperationFinished = 0xF1;
    static constexpr BYTE MessageOperationProgress = 0xF2;
    static constexpr BYTE MessageLogNotification = 0xFE;

    // Notifications sent per processor; later ones are dropped.
    static constexpr DWORD WarningLimit = 3;
    static constexpr DWORD ErrorLimit = 1;

    // One request waiting for its reply.
    struct ResultInfo {
        DWORD m_Id;
        BYTE m_ReplyCode;  // the only reply code that may complete it
        std::shared_ptr<ResultEvent> m_pEvent;
    };

    // pStream is the bridge; it must outlive the processor.
    CommandProcessor(IBridgeStream* pStream, DWORD controlKind, DWORD snapshotType);
    // Removes the processor from the log first if it is still the sink.
    virtual ~CommandProcessor();

    CommandProcessor(const CommandProcessor&) = delete;
    CommandProcessor& operator=(const CommandProcessor&) = delete;

    // Becomes the log's sink: from now on warnings and errors also go to the controller.
    virtual void Activate();
    virtual void Deactivate();
    // Switch the running of queued commands on and off; both return once that holds.
    virtual void EnableCommands() = 0;
    virtual void DisableCommands() = 0;
    virtual IBridgeControl* GetControl() = 0;
    // 0 file system, 1 bridge stream; the controller may change it at any time.
    virtual DWORD GetSnapShotType();
    // Reads and processes one command; a code nobody handles raises "Unknown bridge command".
    // Runs on the bridge's worker thread only.
    virtual void ReadCommand();
    // False for a code this processor does not handle. Derived processors handle their own codes
    // and pass the others on.
    virtual bool ProcessCommand(BYTE code);

    // 0 manual (the controller drives), non-zero api (the application drives).
    DWORD GetControlKind() const { return m_ControlKind; }

    // Nothing reads replies any more (the bridge's worker has ended): every waiting request fails
    // with "Event waiting was interrupted", and so does every later one, at once.
    void EndReplies();

protected:
    // The IBridgeControl operations, in its slot order.
    void OperationStarted(DWORD operation);
    void OperationProgress(DWORD value, DWORD total);
    void OperationFinished();
    void SnapShotBridgeCreate(DWORD magic);
    WORD SnapShotBridgeCreateSection();
    void SnapShotBridgeCloseSection(WORD handle, WORD type, WORD version);
    void SnapShotBridgeWrite(WORD handle, size_t count, const void* pData);
    int64_t SnapShotBridgeTell(WORD handle);
    void SnapShotBridgeSeek(WORD handle, DWORD origin, int64_t offset);
    void SnapShotBridgeAbort();
    void SnapShotBridgeClose(DWORD snapshotIndex, const GUID& sequence, DWORD sequenceNumber);
    void SnapShotCoreDone(const WString& path, DWORD snapshotIndex, const GUID& sequence,
                          DWORD sequenceNumber);
    bool IsErrorReported() const { return m_ErrorCount.load() != 0; }

    // Started (0x90), Stopped (0x91) or Done (0xA0) for the derived processors: logs pLogText
    // (component Bridge) and sends the code; under API control raises "API is used" instead.
    void WriteStateMessage(const char* pLogText, BYTE code);

    IBridgeStream* GetStream() const { return m_pStream; }

private:
    // LogSink, called by the log under its lock.
    void OnWarning(const char* pText) override;
    void OnError(const char* pText) override;
    // Sends one log notification unless its limit is reached or the write lock is held by anyone.
    void Notify(BYTE kind, DWORD limit, std::atomic<DWORD>& count, const char* pText) noexcept;

    // Writes the message composed in m_Message. Caller holds the write lock.
    void SendMessage();
    // Queues a request record, writes the request that compose() puts into m_Message (given the
    // request's id) and waits for the reply; returns the replied value.
    template <class Compose>
    int64_t RequestReply(BYTE replyCode, Compose&& compose);
    // Removes the record of a request whose message could not be written.
    void ForgetRequest(DWORD id) noexcept;
    // Takes the front record for a reply of `code` with `id`; a mismatch fails that record's
    // requester and raises "Result queue problem detected".
    std::shared_ptr<ResultEvent> TakeRequest(BYTE code, DWORD id);

    void ProcessCreateSectionResult();
    void ProcessTellResult();
    void ProcessChangeLogMask();
    void ProcessChangeSnapShotType();

    // Serialises whole messages to the controller and guards m_Message and m_OperationRunning.
    // Taken by every writer (profiler threads, command threads, the worker's replies) for one
    // message, never while waiting for a reply; the log sink only tries it once.
    SpinLock m_WriteLock;
    MemoryBridgeStream m_Message;  // the message being composed, reused
    bool m_OperationRunning = false;

    const DWORD m_ControlKind;
    IBridgeStream* const m_pStream;

    // Guards m_NextResultId, m_Results and m_RepliesEnded. Taken inside the write lock when a
    // request is queued, and alone by the worker when it matches a reply.
    SpinLock m_ResultLock;
    DWORD m_NextResultId = 0;
    std::deque<ResultInfo> m_Results;
    bool m_RepliesEnded = false;

    // Guards m_SnapshotType; taken by the worker (ChangeSnapShotType) and by snapshot creation.
    SpinLock m_SnapshotTypeLock;
    DWORD m_SnapshotType;

    // Changed only by the sink calls, which the log lock serialises; read by anyone.
    std::atomic<DWORD> m_WarningCount{0};
    std::atomic<DWORD> m_ErrorCount{0};

    // Whether this processor is the log's sink; changed by the owner's thread only.
    bool m_Active = false;

    // The OS thread inside ReadCommand, 0 outside it. A request made on that thread would wait
    // for a reply only that thread can read, so it is refused instead.
    std::atomic<DWORD> m_ReaderThreadId{0};
};
