// Decides for each process that connects whether qvprof profiles it: only processes whose command
// line matches the pattern, only the first of them when asked, and none once the recording has
// ended. Called from the handshake threads of many processes at once.
#pragma once

#include <mutex>
#include <optional>
#include <regex>
#include <string>

namespace Qvprof {

class AdmissionPolicy {
public:
    struct Decision {
        bool admitted = false;
        std::string reason;  // why a process is not profiled
    };

    // `match` is an ECMAScript regular expression, empty for every process; raises
    // std::regex_error for an invalid one.
    AdmissionPolicy(bool firstOnly, const std::string& match);

    Decision Decide(const std::string& commandLine);
    // Every later process is refused with `reason`.
    void Close(const std::string& reason);
    size_t AdmittedCount() const;

private:
    const bool m_FirstOnly;
    const std::optional<std::regex> m_Match;
    const std::string m_MatchText;

    // Guards the members below; taken by the handshake threads and by Close.
    mutable std::mutex m_Lock;
    size_t m_Admitted = 0;
    std::string m_ClosedReason;  // empty while processes are admitted
};

}  // namespace Qvprof
