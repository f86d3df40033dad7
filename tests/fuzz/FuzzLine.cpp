#include "FuzzLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CommandProcessor/CommandProcessor.h"
#include "CommandProcessor/MeasureCommandProcessor.h"

namespace {

const PALStreamHandle STREAM = reinterpret_cast<PALStreamHandle>(0x51);

// Payload bytes after a command code the measure processor reads; false for a code it refuses.
bool PayloadSize(BYTE code, size_t* pSize) {
    switch (code) {
        case MeasureCommandProcessor::CommandStart:
        case MeasureCommandProcessor::CommandStopDrop:
        case MeasureCommandProcessor::CommandStopSave:
        case CommandProcessor::CommandIdle:
            *pSize = 0;
            return true;
        case CommandProcessor::CommandCreateSectionResult:
            *pSize = 4 + 2;  // id, handle
            return true;
        case CommandProcessor::CommandTellResult:
            *pSize = 4 + 8;  // id, position
            return true;
        case CommandProcessor::CommandChangeLogMask:
            *pSize = 4 + 4;  // set, clear
            return true;
        case CommandProcessor::CommandChangeSnapShotType:
            *pSize = 1;
            return true;
        default:
            return false;
    }
}

bool IsQueuedCommand(BYTE code) {
    return code == MeasureCommandProcessor::CommandStart ||
           code == MeasureCommandProcessor::CommandStopDrop ||
           code == MeasureCommandProcessor::CommandStopSave;
}

bool IsReply(BYTE code) {
    return code == CommandProcessor::CommandCreateSectionResult ||
           code == CommandProcessor::CommandTellResult;
}

bool IsRequest(BYTE code) {
    return code == CommandProcessor::MessageSectionCreate ||
           code == CommandProcessor::MessageSectionTell;
}

}  // namespace

FuzzLine::FuzzLine(const uint8_t* pData, size_t size) : m_pData(pData), m_Size(size) {}

FuzzLine::~FuzzLine() {
    if (m_ServiceThread.joinable()) {
        m_ServiceThread.join();
    }
}

HRESULT FuzzLine::QueryInterface(REFIID riid, void** ppvObject) {
    if (riid == IID_IUnknown || riid == IID_IPALTools) {
        *ppvObject = static_cast<IPALTools*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

HRESULT FuzzLine::StartService(LPCWSTR, DWORD, PALServiceProc pProc, DWORD, void* pContext) {
    if (m_ServiceThread.joinable()) {
        return E_FAIL;  // one connection per line
    }
    m_ServiceThread = std::thread([this, pProc, pContext] {
        const DWORD result = pProc(STREAM, pContext);
        std::lock_guard<std::mutex> guard(m_Lock);
        m_ServiceResult = result;
        m_ServiceEnded = true;
        m_Changed.notify_all();
    });
    return S_OK;
}

HRESULT FuzzLine::Write(PALStreamHandle, const void* pData, DWORD length) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_StreamClosed) {
        return ConnectionClosed;
    }
    // Messages are written whole, one per call: a request leaves the command thread waiting.
    if (m_Commands && length > 0 && IsRequest(*static_cast<const BYTE*>(pData))) {
        m_RequestWaiting = true;
        m_Changed.notify_all();
    }
    return S_OK;
}

HRESULT FuzzLine::Read(PALStreamHandle, void* pBuffer, DWORD capacity, DWORD* pRead) {
    *pRead = 0;
    std::unique_lock<std::mutex> lock(m_Lock);
    if (m_Commands) {
        WaitUntilQuiet(lock);
    }
    if (m_Position == m_Size) {
        return ConnectionClosed;
    }
    const size_t count = std::min<size_t>(capacity, m_Size - m_Position);
    std::memcpy(pBuffer, m_pData + m_Position, count);
    if (m_Commands) {
        Served(m_pData + m_Position, count);
    }
    m_Position += count;
    *pRead = static_cast<DWORD>(count);
    return S_OK;
}

HRESULT FuzzLine::CloseStream(PALStreamHandle) {
    ++m_CloseStreamCalls;
    std::lock_guard<std::mutex> guard(m_Lock);
    m_StreamClosed = true;
    return S_OK;
}

void FuzzLine::BeginCommands() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Commands = true;
}

void FuzzLine::Open() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Opened = true;
    m_Changed.notify_all();
}

void FuzzLine::CallEnded() {
    std::lock_guard<std::mutex> guard(m_Lock);
    // A call that fails while its request waits (the worker ended) waits no longer.
    m_RequestWaiting = false;
    --m_PendingCalls;
    m_Changed.notify_all();
}

bool FuzzLine::WaitForServiceEnd(DWORD* pResult) {
    std::unique_lock<std::mutex> lock(m_Lock);
    // Longer than a read waits, so that a hung command thread is reported from there.
    if (!m_Changed.wait_for(lock, 2 * Patience, [this] { return m_ServiceEnded; })) {
        return false;
    }
    *pResult = m_ServiceResult;
    return true;
}

void FuzzLine::WaitUntilQuiet(std::unique_lock<std::mutex>& lock) {
    if (!m_Changed.wait_for(lock, Patience, [this] { return IsQuiet(); })) {
        std::fprintf(stderr,
                     "bridge_fuzz: the command thread is still busy with %d call(s) after %lld s "
                     "with %zu of %zu input bytes served: the profiler side hangs\n",
                     m_PendingCalls, static_cast<long long>(Patience.count()), m_Position, m_Size);
        std::abort();
    }
}

bool FuzzLine::IsQuiet() const {
    return m_OutOfStep || (m_Opened && (m_RequestWaiting || m_PendingCalls == 0));
}

void FuzzLine::Served(const BYTE* pBytes, size_t count) {
    for (size_t i = 0; i < count && !m_OutOfStep; ++i) {
        if (m_PayloadLeft == 0) {
            m_Code = pBytes[i];
            if (!PayloadSize(m_Code, &m_PayloadLeft)) {
                m_OutOfStep = true;
                return;
            }
        } else {
            --m_PayloadLeft;
        }
        if (m_PayloadLeft == 0) {
            CommandComplete(m_Code);
        }
    }
}

void FuzzLine::CommandComplete(BYTE code) {
    if (IsQueuedCommand(code)) {
        ++m_PendingCalls;
    } else if (IsReply(code)) {
        // Matched or not, a reply ends the wait: the call goes on, or fails and ends.
        m_RequestWaiting = false;
    }
}
