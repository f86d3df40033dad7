// The process-wide diagnostic log: text lines in one file in the temporary directory, each tagged
// with the OS thread and the runtime's managed thread. One flag per component lets chatty call
// sites be switched on from outside; warnings and errors also go to the sink.
//
// A call site tests its component's flag before a plain line; the log itself never tests flags:
//   if (Log::IsEnabled(LogComponent::ThreadCb)) Log::Format("BPProf::ThreadCreated tid=%p", p);
// Formats are printf-style with "%S" for 16-bit text and "%p" printed as zero-padded hexadecimal.
#pragma once

#include <atomic>
#include <exception>
#include <string>

#include "Platform/Types.h"
#include "Util/ComponentMask.h"
#include "Util/LogSink.h"

class _com_error;
struct ICorProfilerInfo;

class Log {
public:
    // Opens a new unique log file in the temporary directory and writes the "Initialized" record.
    // Throws "Already initialized" while open. A file that cannot be opened leaves the log closed
    // without a report; the flags are set all the same.
    static void Initialize(ComponentMask mask);
    // Sets, then clears flags (a bit in both ends cleared); writes the "Update" record. Only while
    // the file is open.
    static void Update(ComponentMask set, ComponentMask clear);
    // Writes "Finished", stops the flush thread, clears the flags and closes the file.
    static void Finish();
    static void Flush();

    static void Message(const char* pMessage);
    static void Format(const char* pFormat, ...);
    // Warnings and errors are flushed at once and handed to the sink, even with the file closed.
    static void Warning(const char* pMessage);
    static void WarningFormat(const char* pFormat, ...);
    static void Error(const char* pMessage);
    static void ErrorFormat(const char* pFormat, ...);

    // A header line followed by a block built with AppendBlock, whose lines each start with a tab.
    static void BlockFormat(const std::string& block, const char* pFormat, ...);
    static void AppendBlock(std::string& block, const char* pText);
    static void AppendBlockFormat(std::string& block, const char* pFormat, ...);

    static void LogException(const std::exception& e);
    static void LogUnknownException();
    static void LogComError(const _com_error& e);

    // Holds the runtime's information interface (or none), which names the managed thread.
    static void SetProfilerInfo(ICorProfilerInfo* pInfo);
    // Not owned; null removes it.
    static void SetSink(LogSink* pSink);
    // Empty while closed.
    static WString GetFilePath();

    // One byte test: the cost of a disabled call site.
    static bool IsEnabled(LogComponent component) noexcept {
        return s_Enabled[ComponentIndex(component)].load(std::memory_order_relaxed);
    }

private:
    // Sets or clears the flag of every component whose bit is in the mask.
    static void SetFlags(ComponentMask mask, bool enabled) noexcept;

    // Indexed by component index; entries for the unnamed bits stay false. Read without the log
    // lock from any thread; written by Initialize, Update and Finish.
    static std::atomic<bool> s_Enabled[LOG_COMPONENT_INDEX_LIMIT];
};
