#include "Util/Log.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Platform/Clock.h"
#include "Platform/Com.h"
#include "Platform/Cor/CorProfiler.h"
#include "Platform/FileSystem.h"
#include "Platform/Format.h"
#include "Platform/Process.h"
#include "Platform/Sync.h"
#include "Platform/SystemInfo.h"
#include "Util/Assert.h"
#include "Util/BuildInfo.h"
#include "Util/ComRef.h"
#include "Util/NoDestructor.h"
#include "Util/SpinLock.h"
#include "Util/TempFile.h"

std::atomic<bool> Log::s_Enabled[LOG_COMPONENT_INDEX_LIMIT];

namespace {

constexpr size_t FORMAT_BUFFER_SIZE = 8192;
constexpr char FORMAT_OVERFLOW_TEXT[] = "[Format message buffer is not enough]";
constexpr DWORD FLUSH_INTERVAL_MS = 2500;
constexpr DWORD FLUSH_STEP_MS = 100;
constexpr DWORD FINISH_WAIT_MS = 1000;

enum class Level { Plain, Warning, Error };

// Guards the writes to g_pFile and its closing, FilePath(), g_pProfilerInfo and the call of the
// sink. Taken by every thread that logs, including runtime callbacks and hooks; held only for one
// line's formatting and writing.
SpinLock g_LogLock;

// True while this thread holds g_LogLock. The sink runs under the lock, and whatever it logs
// itself (the bridge tracing its own write, say) would wait forever for the lock this thread
// holds: such nested lines are dropped instead.
thread_local bool t_HoldsLogLock = false;

class LogLockScope {
public:
    LogLockScope() noexcept {
        g_LogLock.Acquire();
        t_HoldsLogLock = true;
    }
    ~LogLockScope() {
        t_HoldsLogLock = false;
        g_LogLock.Release();
    }
    LogLockScope(const LogLockScope&) = delete;
    LogLockScope& operator=(const LogLockScope&) = delete;
};
// Null while closed. Changed under g_LogLock; read without it only for the early "closed" test.
std::atomic<FILE*> g_pFile{nullptr};
// Never released at exit: Finish runs at process detach, after static destructors.
constinit PermanentComRef<ICorProfilerInfo> g_pProfilerInfo;

// Never destroyed, for the same reason.
WString& FilePath() {
    static NoDestructor<WString> s_Path;
    return *s_Path;
}
// Changed under g_LogLock; read without it only for the early "closed and no sink" test.
std::atomic<LogSink*> g_pSink{nullptr};

// Flushes by the flush thread run without g_LogLock (the stream serialises them). Finish closes
// the file only once no such flush is in flight, so none can touch a closed stream.
std::atomic<int> g_FlushesInFlight{0};

// One flush thread's stop flag and end signal, shared with the thread, which may outlive Finish's
// wait for it.
struct FlushControl {
    std::atomic<bool> m_StopRequested{false};
    Platform::EventHandle m_hFinished = Platform::CreateManualResetEvent(false);

    ~FlushControl() {
        if (m_hFinished != nullptr) {
            Platform::CloseEvent(m_hFinished);
        }
    }
};

// Owned by Initialize and Finish, which the process calls from one thread. The thread object is
// on the heap so that a process ending with the log still open never destroys a joinable thread.
// Never destroyed: Finish stops the thread at process detach, after static destructors.
std::shared_ptr<FlushControl>& FlushControlRef() {
    static NoDestructor<std::shared_ptr<FlushControl>> s_pControl;
    return *s_pControl;
}
std::thread* g_pFlushThread = nullptr;

// Formats into the caller's buffer; a text that does not fit with its terminator is replaced.
const char* FormatText(char (&buffer)[FORMAT_BUFFER_SIZE], const char* pFormat, va_list args) {
    int length = Platform::FormatV(buffer, FORMAT_BUFFER_SIZE, pFormat, args);
    if (length < 0 || static_cast<size_t>(length) >= FORMAT_BUFFER_SIZE) {
        return FORMAT_OVERFLOW_TEXT;
    }
    return buffer;
}

// Caller holds g_LogLock. A thread the runtime does not manage, or any thread before the runtime
// interface is handed over, is 0.
ThreadID CurrentManagedThreadId() {
    ICorProfilerInfo* pInfo = g_pProfilerInfo.Get();
    if (pInfo == nullptr) {
        return 0;
    }
    ThreadID id = 0;
    if (FAILED(pInfo->GetCurrentThreadID(&id))) {
        return 0;
    }
    return id;
}

// Writes `digits` upper-case hexadecimal digits of value at pOut.
char* PutHex(char* pOut, UINT_PTR value, int digits) {
    static const char HEX_DIGITS[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) {
        pOut[i] = HEX_DIGITS[value & 0xF];
        value >>= 4;
    }
    return pOut + digits;
}

// Caller holds g_LogLock and has checked the file. Writes the "%08X %p " prefix (laid out by hand:
// it is on every line) and the level's tag.
void WriteLinePrefix(FILE* pFile, Level level) {
    constexpr int POINTER_DIGITS = static_cast<int>(sizeof(void*) * 2);
    char prefix[8 + 1 + POINTER_DIGITS + 1 + sizeof("WARNING: ")];
    char* pEnd = PutHex(prefix, Platform::GetCurrentThreadId(), 8);
    *pEnd++ = ' ';
    pEnd = PutHex(pEnd, CurrentManagedThreadId(), POINTER_DIGITS);
    *pEnd++ = ' ';
    const char* pTag = level == Level::Warning ? "WARNING: "
                       : level == Level::Error ? "ERROR: "
                                               : "";
    while (*pTag != '\0') {
        *pEnd++ = *pTag++;
    }
    std::fwrite(prefix, 1, static_cast<size_t>(pEnd - prefix), pFile);
}

// Caller holds g_LogLock.
void WriteLine(Level level, const char* pText) {
    FILE* pFile = g_pFile.load(std::memory_order_relaxed);
    if (pFile == nullptr) {
        return;
    }
    WriteLinePrefix(pFile, level);
    std::fputs(pText, pFile);
    std::fputc('\n', pFile);
}

// Caller holds g_LogLock. Warnings and errors are flushed at once so that they survive a crash.
void WriteAlert(Level level, const char* pText) {
    if (FILE* pFile = g_pFile.load(std::memory_order_relaxed)) {
        WriteLine(level, pText);
        std::fflush(pFile);
    }
    if (LogSink* pSink = g_pSink.load(std::memory_order_relaxed)) {
        if (level == Level::Warning) {
            pSink->OnWarning(pText);
        } else {
            pSink->OnError(pText);
        }
    }
}

bool IsOpen() {
    return g_pFile.load(std::memory_order_acquire) != nullptr;
}

bool IsAlertWanted() {
    if (t_HoldsLogLock) {
        return false;
    }
    return IsOpen() || g_pSink.load(std::memory_order_acquire) != nullptr;
}

void AlertFormatV(Level level, const char* pFormat, va_list args) {
    LogLockScope guard;
    char buffer[FORMAT_BUFFER_SIZE];
    WriteAlert(level, FormatText(buffer, pFormat, args));
}

void FlushWithoutLock() {
    // Announce the flush before reading the file, so that Finish either sees it in flight or
    // this read sees the file already gone (both sides use sequentially consistent operations).
    g_FlushesInFlight.fetch_add(1);
    if (FILE* pFile = g_pFile.load()) {
        std::fflush(pFile);
    }
    g_FlushesInFlight.fetch_sub(1);
}

void FlushThreadMain(std::shared_ptr<FlushControl> pControl) {
    while (!pControl->m_StopRequested.load(std::memory_order_relaxed)) {
        DWORD start = Platform::GetTickCount();
        while (!pControl->m_StopRequested.load(std::memory_order_relaxed) &&
               Platform::GetTickCount() - start < FLUSH_INTERVAL_MS) {
            Platform::Sleep(FLUSH_STEP_MS);
        }
        FlushWithoutLock();
    }
    Platform::SetEvent(pControl->m_hFinished);
}

void StartFlushThread() {
    auto pControl = std::make_shared<FlushControl>();
    if (pControl->m_hFinished == nullptr) {
        return;  // plain lines then wait for the next warning, error or explicit flush
    }
    g_pFlushThread = new std::thread(&FlushThreadMain, pControl);
    FlushControlRef() = std::move(pControl);
}

void StopFlushThread() {
    if (FlushControlRef() == nullptr) {
        return;
    }
    FlushControlRef()->m_StopRequested.store(true, std::memory_order_relaxed);
    if (g_pFlushThread != nullptr) {
        if (Platform::WaitForEvent(FlushControlRef()->m_hFinished, FINISH_WAIT_MS) ==
            Platform::WaitResult::Signalled) {
            g_pFlushThread->join();
        } else {
            g_pFlushThread->detach();  // it keeps its control block and ends on its own
        }
        delete g_pFlushThread;
        g_pFlushThread = nullptr;
    }
    FlushControlRef().reset();
}

// A record of several lines, built in a fixed buffer; text beyond its end is dropped.
class RecordText {
public:
    explicit RecordText(const char* pFirstLine) { Append("%s", pFirstLine); }

    void Append(const char* pFormat, ...) {
        if (m_Length >= FORMAT_BUFFER_SIZE - 1) {
            return;
        }
        va_list args;
        va_start(args, pFormat);
        int length =
            Platform::FormatV(m_Text + m_Length, FORMAT_BUFFER_SIZE - m_Length, pFormat, args);
        va_end(args);
        if (length > 0) {
            m_Length = std::min(m_Length + static_cast<size_t>(length), FORMAT_BUFFER_SIZE - 1);
        }
    }

    void AppendComponentLines() {
        for (const LogComponentInfo& info : LOG_COMPONENTS) {
            Append("\n\t %2u: [%c] %s", ComponentIndex(info.component),
                   Log::IsEnabled(info.component) ? 'X' : ' ', info.pName);
        }
    }

    const char* Text() const { return m_Text; }

private:
    char m_Text[FORMAT_BUFFER_SIZE] = {};
    size_t m_Length = 0;
};

void WriteInitializedRecord(ComponentMask mask) {
    Platform::SYSTEMTIME time = {};
    Platform::GetLocalTime(&time);
    Platform::SYSTEM_INFO system = {};
    Platform::GetSystemInfo(&system);
    Platform::OSVERSIONINFO version = {};
    if (!Platform::GetVersionEx(&version)) {
        version = {};
    }
    WString commandLine = Platform::ComposeProcessCommandLine();

    RecordText record("Initialized");
    record.Append("\n\tBuild=%s", BuildInfo::Version);
    record.Append("\n\tBuildTime=%s", BuildInfo::Time);
    record.Append("\n\tComponentMask=%08X", mask);
    record.AppendComponentLines();
    record.Append("\n\tTime=%02hu.%02hu.%04hu %02hu:%02hu:%02hu", time.wDay, time.wMonth,
                  time.wYear, time.wHour, time.wMinute, time.wSecond);
    record.Append("\n\tProcessorArchitecture=%hu", system.wProcessorArchitecture);
    record.Append("\n\tPageSize=%u", system.dwPageSize);
    record.Append("\n\tMinimumApplicationAddress=%p", system.lpMinimumApplicationAddress);
    record.Append("\n\tMaximumApplicationAddress=%p", system.lpMaximumApplicationAddress);
    record.Append("\n\tActiveProcessorMask=%p",
                  reinterpret_cast<void*>(system.dwActiveProcessorMask));
    record.Append("\n\tNumberOfProcessors=%u", system.dwNumberOfProcessors);
    record.Append("\n\tAllocationGranularity=%u", system.dwAllocationGranularity);
    record.Append("\n\tProcessorLevel=%hu", system.wProcessorLevel);
    record.Append("\n\tProcessorRevision=%04hX", system.wProcessorRevision);
    record.Append("\n\tMajorVersion=%u", version.dwMajorVersion);
    record.Append("\n\tMinorVersion=%u", version.dwMinorVersion);
    record.Append("\n\tBuildNumber=%u", version.dwBuildNumber);
    record.Append("\n\tPlatformId=%u", version.dwPlatformId);
    record.Append("\n\tCSDVersion='%S'", version.szCSDVersion);
    DWORD processId = Platform::GetCurrentProcessId();
    record.Append("\n\tProcessId=%08X (%u)", processId, processId);
    record.Append("\n\tCommandLine='%S'", commandLine.c_str());
    Log::Format("%s", record.Text());
}

}  // namespace

void Log::Initialize(ComponentMask mask) {
    if (IsOpen()) {
        throw std::runtime_error("Already initialized");
    }
    WString path = CreateTempFile(u"lgc");
    FILE* pFile = Platform::OpenFile(path, "wt");
    if (pFile != nullptr) {
        LogLockScope guard;
        FilePath() = path;
        g_pFile.store(pFile, std::memory_order_release);
    }

    SetFlags(~ComponentMask{0}, false);
    SetFlags(mask, true);

    if (pFile != nullptr) {
        StartFlushThread();
    }
    WriteInitializedRecord(mask);
    Flush();
}

void Log::Update(ComponentMask set, ComponentMask clear) {
    if (!IsOpen()) {
        return;
    }
    SetFlags(set, true);
    SetFlags(clear, false);

    RecordText record("Update");
    record.Append("\n\tComponentMaskSet=%08X", set);
    record.Append("\n\tComponentMaskClear=%08X", clear);
    record.AppendComponentLines();
    Format("%s", record.Text());
    Flush();
}

void Log::Finish() {
    if (FlushControlRef() != nullptr) {
        FlushControlRef()->m_StopRequested.store(true, std::memory_order_relaxed);
    }
    Message("Finished");
    StopFlushThread();
    SetFlags(~ComponentMask{0}, false);

    FILE* pFile = nullptr;
    {
        LogLockScope guard;
        pFile = g_pFile.exchange(nullptr);
        FilePath().clear();
    }
    // Writers see the null file under the lock; only a lock-free flush can still hold the stream.
    while (g_FlushesInFlight.load() != 0) {
        Platform::Sleep(1);
    }
    if (pFile != nullptr) {
        std::fclose(pFile);
    }
}

void Log::Flush() {
    if (t_HoldsLogLock) {
        return;
    }
    LogLockScope guard;
    if (FILE* pFile = g_pFile.load(std::memory_order_relaxed)) {
        std::fflush(pFile);
    }
}

void Log::Message(const char* pMessage) {
    QV_ASSERT(pMessage != NULL);
    if (pMessage == nullptr || !IsOpen() || t_HoldsLogLock) {
        return;
    }
    LogLockScope guard;
    WriteLine(Level::Plain, pMessage);
}

void Log::Format(const char* pFormat, ...) {
    QV_ASSERT(pFormat != NULL);
    if (pFormat == nullptr || !IsOpen() || t_HoldsLogLock) {
        return;
    }
    LogLockScope guard;
    char buffer[FORMAT_BUFFER_SIZE];
    va_list args;
    va_start(args, pFormat);
    const char* pText = FormatText(buffer, pFormat, args);
    va_end(args);
    WriteLine(Level::Plain, pText);
}

void Log::Warning(const char* pMessage) {
    QV_ASSERT(pMessage != NULL);
    if (pMessage == nullptr || !IsAlertWanted()) {
        return;
    }
    LogLockScope guard;
    WriteAlert(Level::Warning, pMessage);
}

void Log::WarningFormat(const char* pFormat, ...) {
    QV_ASSERT(pFormat != NULL);
    if (pFormat == nullptr || !IsAlertWanted()) {
        return;
    }
    va_list args;
    va_start(args, pFormat);
    AlertFormatV(Level::Warning, pFormat, args);
    va_end(args);
}

void Log::Error(const char* pMessage) {
    QV_ASSERT(pMessage != NULL);
    if (pMessage == nullptr || !IsAlertWanted()) {
        return;
    }
    LogLockScope guard;
    WriteAlert(Level::Error, pMessage);
}

void Log::ErrorFormat(const char* pFormat, ...) {
    QV_ASSERT(pFormat != NULL);
    if (pFormat == nullptr || !IsAlertWanted()) {
        return;
    }
    va_list args;
    va_start(args, pFormat);
    AlertFormatV(Level::Error, pFormat, args);
    va_end(args);
}

void Log::BlockFormat(const std::string& block, const char* pFormat, ...) {
    QV_ASSERT(pFormat != NULL);
    if (pFormat == nullptr || !IsOpen() || t_HoldsLogLock) {
        return;
    }
    LogLockScope guard;
    FILE* pFile = g_pFile.load(std::memory_order_relaxed);
    if (pFile == nullptr) {
        return;
    }
    char buffer[FORMAT_BUFFER_SIZE];
    va_list args;
    va_start(args, pFormat);
    const char* pHeader = FormatText(buffer, pFormat, args);
    va_end(args);
    WriteLinePrefix(pFile, Level::Plain);
    std::fputs(pHeader, pFile);
    std::fwrite(block.data(), 1, block.size(), pFile);
    std::fputc('\n', pFile);
}

void Log::AppendBlock(std::string& block, const char* pText) {
    QV_ASSERT(pText != NULL);
    block += "\n\t";
    if (pText == nullptr) {
        return;
    }
    for (const char* p = pText; *p != '\0'; ++p) {
        if (*p == '\r') {
            continue;
        }
        if (*p == '\n') {
            block += "\n\t";
        } else {
            block += *p;
        }
    }
}

void Log::AppendBlockFormat(std::string& block, const char* pFormat, ...) {
    QV_ASSERT(pFormat != NULL);
    if (pFormat == nullptr) {
        return;
    }
    char buffer[FORMAT_BUFFER_SIZE];
    va_list args;
    va_start(args, pFormat);
    const char* pText = FormatText(buffer, pFormat, args);
    va_end(args);
    AppendBlock(block, pText);
}

void Log::LogException(const std::exception& e) {
    Error(e.what());
}

void Log::LogUnknownException() {
    Error("Unknown exception");
}

void Log::LogComError(const _com_error& e) {
    try {
        WString text = e.ErrorMessage();
        ErrorFormat("%S", text.c_str());
    } catch (...) {
        Error("[Exception during COM error message generation]");
    }
}

void Log::SetProfilerInfo(ICorProfilerInfo* pInfo) {
    if (t_HoldsLogLock) {  // called from within the sink: the lock is this thread's already
        g_pProfilerInfo = pInfo;
        return;
    }
    LogLockScope guard;
    if (g_pProfilerInfo.Get() != pInfo) {
        g_pProfilerInfo = pInfo;
    }
}

void Log::SetSink(LogSink* pSink) {
    if (t_HoldsLogLock) {  // called from within the sink: the lock is this thread's already
        g_pSink.store(pSink, std::memory_order_release);
        return;
    }
    LogLockScope guard;
    g_pSink.store(pSink, std::memory_order_release);
}

WString Log::GetFilePath() {
    if (t_HoldsLogLock) {
        return FilePath();  // this thread already holds the lock
    }
    LogLockScope guard;
    return FilePath();
}

void Log::SetFlags(ComponentMask mask, bool enabled) noexcept {
    for (const LogComponentInfo& info : LOG_COMPONENTS) {
        if ((mask & ComponentBit(info.component)) != 0) {
            s_Enabled[ComponentIndex(info.component)].store(enabled, std::memory_order_relaxed);
        }
    }
}
