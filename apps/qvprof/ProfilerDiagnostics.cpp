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
    void Add(const std::string& text, const std::string& process, bool error = false) {
        auto [it, added] = m_Processes.try_emplace(Key{error, text});
        if (added) {
            m_Order.push_back(Key{error, text});
        }
        it->second.insert(process);
    }
    std::vector<Diagnostic> Result(const std::string& source) const {
        std::vector<Diagnostic> diagnostics;
        for (const Key& key : m_Order) {
            diagnostics.push_back({source, key.second, m_Processes.at(key).size(), key.first});
        }
        return diagnostics;
    }

private:
    using Key = std::pair<bool, std::string>;  // error, text
    std::vector<Key> m_Order;
    std::map<Key, std::set<std::string>> m_Processes;
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
    const std::vector<ProfilerLog>& logs) {
    Grouping grouping;
    for (size_t process = 0; process < logs.size(); ++process) {
        std::istringstream lines(logs[process].contents);
        for (std::string line; std::getline(lines, line);) {
            for (const std::string kind : {"ERROR: ", "WARNING: "}) {
                const size_t at = line.find(kind);
                if (at != std::string::npos) {
                    const std::string text = line.substr(at + kind.size());
                    if (logs[process].shown.count(text) == 0) {
                        grouping.Add(text, std::to_string(process), kind[0] == 'E');
                    }
                    break;
                }
            }
        }
    }
    return grouping.Result("profiler");
}

std::vector<Diagnostic> ProfilerDiagnostics::Collect(const std::filesystem::path& hostLog,
                                                     const std::filesystem::path& profilerTemporary,
                                                     const std::vector<KnownLogFile>& known) {
    std::vector<Diagnostic> diagnostics = FromHostLog(ReadFile(hostLog));
    std::vector<ProfilerLog> logs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(profilerTemporary, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("lgc", 0) != 0 || entry.path().extension() != ".tmp") {
            continue;
        }
        const auto found = std::find_if(known.begin(), known.end(), [&](const KnownLogFile& file) {
            std::error_code same;
            return std::filesystem::equivalent(file.path, entry.path(), same);
        });
        if (found == known.end()) {
            logs.push_back({ReadFile(entry.path()), {}});
        } else if (!found->leftOut) {
            logs.push_back({ReadFile(entry.path()), found->shown});
        }
    }
    for (Diagnostic& diagnostic : FromProfilerLogs(logs)) {
        diagnostics.push_back(std::move(diagnostic));
    }
    return diagnostics;
}

}  // namespace Qvprof
