#include "ProfilerDiagnostics.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace Qvprof {

namespace {

// Texts in the order first seen, each with the processes that reported it.
class Grouping {
public:
    void Add(const std::string& text, const std::string& process) {
        auto [it, added] = m_Processes.try_emplace(text);
        if (added) {
            m_Order.push_back(text);
        }
        it->second.insert(process);
    }
    std::vector<Diagnostic> Result(const std::string& source) const {
        std::vector<Diagnostic> diagnostics;
        for (const std::string& text : m_Order) {
            diagnostics.push_back({source, text, m_Processes.at(text).size()});
        }
        return diagnostics;
    }

private:
    std::vector<std::string> m_Order;
    std::map<std::string, std::set<std::string>> m_Processes;
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

std::vector<Diagnostic> ProfilerDiagnostics::FromHostLog(const std::string& contents) {
    static const std::string Prefix = "Quorvelan host[";
    Grouping grouping;
    std::istringstream lines(contents);
    for (std::string line; std::getline(lines, line);) {
        const size_t close = line.find("]: ");
        if (line.compare(0, Prefix.size(), Prefix) != 0 || close == std::string::npos) {
            if (!line.empty()) {
                grouping.Add(line, line);
            }
            continue;
        }
        grouping.Add(line.substr(close + 3), line.substr(Prefix.size(), close - Prefix.size()));
    }
    return grouping.Result("host");
}

std::vector<Diagnostic> ProfilerDiagnostics::FromProfilerLogs(
    const std::vector<std::string>& logs) {
    Grouping grouping;
    for (size_t process = 0; process < logs.size(); ++process) {
        std::istringstream lines(logs[process]);
        for (std::string line; std::getline(lines, line);) {
            for (const char* pKind : {"ERROR: ", "WARNING: "}) {
                const size_t at = line.find(pKind);
                if (at != std::string::npos) {
                    const std::string kind = pKind[0] == 'E' ? "error: " : "warning: ";
                    grouping.Add(kind + line.substr(at + std::string(pKind).size()),
                                 std::to_string(process));
                    break;
                }
            }
        }
    }
    return grouping.Result("profiler");
}

std::vector<Diagnostic> ProfilerDiagnostics::Collect(const std::filesystem::path& hostLog,
                                                     const std::filesystem::path& profilerTemporary,
                                                     const std::vector<std::string>& skipped) {
    std::vector<Diagnostic> diagnostics = FromHostLog(ReadFile(hostLog));
    std::vector<std::string> logs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(profilerTemporary, error)) {
        const std::string name = entry.path().filename().string();
        const bool skip = std::any_of(skipped.begin(), skipped.end(), [&](const std::string& path) {
            std::error_code same;
            return std::filesystem::equivalent(path, entry.path(), same);
        });
        if (!skip && name.rfind("lgc", 0) == 0 && entry.path().extension() == ".tmp") {
            logs.push_back(ReadFile(entry.path()));
        }
    }
    for (Diagnostic& diagnostic : FromProfilerLogs(logs)) {
        diagnostics.push_back(std::move(diagnostic));
    }
    return diagnostics;
}

}  // namespace Qvprof
