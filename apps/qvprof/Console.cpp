#include "Console.h"

#include <algorithm>

namespace Qvprof {

namespace {

constexpr unsigned BarWidth = 30;

const char* Prefix(Console::Level level) {
    switch (level) {
        case Console::Level::Warning:
            return "qvprof: warning: ";
        case Console::Level::Error:
            return "qvprof: error: ";
        default:
            return "qvprof: ";
    }
}

}  // namespace

Console::Console(std::FILE* stream, bool terminal, bool quiet)
    : m_pStream(stream), m_Terminal(terminal), m_Quiet(quiet) {}

std::string Console::Bar(uint32_t value, uint32_t total, unsigned width) {
    const double share = total == 0 ? 0.0 : std::min(1.0, static_cast<double>(value) / total);
    const auto filled = static_cast<unsigned>(share * width);
    std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
    const std::string percent = std::to_string(static_cast<unsigned>(share * 100)) + "%";
    return bar + std::string(4 - std::min<size_t>(4, percent.size()), ' ') + percent;
}

void Console::ClearBar() {
    if (!m_BarText.empty()) {
        std::fprintf(m_pStream, "\r%s\r", std::string(m_BarText.size(), ' ').c_str());
        m_BarText.clear();
    }
}

void Console::Write(Level level, const std::string& text) {
    if (m_Quiet && level == Level::Info) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    ClearBar();
    std::fprintf(m_pStream, "%s%s\n", Prefix(level), text.c_str());
    std::fflush(m_pStream);
}

void Console::Print(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_Lock);
    ClearBar();
    std::fputs(text.c_str(), m_pStream);
    std::fflush(m_pStream);
}

void Console::Progress(const std::string& key, const std::string& label, uint32_t value,
                       uint32_t total) {
    if (m_Quiet) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    const unsigned quarter =
        total == 0 ? 0 : static_cast<unsigned>(std::min<uint64_t>(4, 4ull * value / total));
    if (m_Terminal) {
        ClearBar();
        m_BarKey = key;
        m_BarText = "qvprof: " + label + " " + Bar(value, total, BarWidth);
        std::fputs(m_BarText.c_str(), m_pStream);
    } else {
        if (m_BarKey != key) {
            m_BarKey = key;
            m_PlainQuarter = 0;
            std::fprintf(m_pStream, "qvprof: %s 0%%\n", label.c_str());
        }
        if (quarter > m_PlainQuarter) {
            m_PlainQuarter = quarter;
            std::fprintf(m_pStream, "qvprof: %s %u%%\n", label.c_str(), quarter * 25);
        }
    }
    std::fflush(m_pStream);
}

void Console::ProgressDone(const std::string& key) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_BarKey == key) {
        ClearBar();
        m_BarKey.clear();
        m_PlainQuarter = 0;
        std::fflush(m_pStream);
    }
}

}  // namespace Qvprof
