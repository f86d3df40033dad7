// qvprof's own messages, on standard error so that the program's standard output stays as the
// program wrote it. Safe to use from every thread. On a terminal, long operations show one
// progress bar line that later messages clear and redraw; elsewhere they show as plain lines at
// their start, at each quarter and at their end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace Qvprof {

class Console {
public:
    enum class Level { Info, Warning, Error };

    // `stream` is where the messages go; `terminal` chooses the progress bar; `quiet` keeps
    // information and progress back (warnings and errors still show).
    Console(std::FILE* stream, bool terminal, bool quiet);
    // True when the stream is a terminal.
    static bool IsTerminal(std::FILE* stream);

    void Info(const std::string& text) { Write(Level::Info, text); }
    void Warning(const std::string& text) { Write(Level::Warning, text); }
    void Error(const std::string& text) { Write(Level::Error, text); }
    void Write(Level level, const std::string& text);
    // Text as it stands, without the "qvprof: " prefix (reports, summaries).
    void Print(const std::string& text);

    // An operation `key` (one per process and operation) went to `value` of `total`.
    void Progress(const std::string& key, const std::string& label, uint32_t value, uint32_t total);
    void ProgressDone(const std::string& key);

    // "[#####.....]  45%" for the bar's width.
    static std::string Bar(uint32_t value, uint32_t total, unsigned width);

private:
    void ClearBar();

    std::FILE* const m_pStream;
    const bool m_Terminal;
    const bool m_Quiet;

    // Guards everything below and keeps each message whole; taken by every thread that writes.
    std::mutex m_Lock;
    std::string m_BarKey;         // the operation the bar shows, empty when none is shown
    std::string m_BarText;        // what the bar line holds
    unsigned m_PlainQuarter = 0;  // the last quarter printed as a plain line
};

}  // namespace Qvprof
