#include "AdmissionPolicy.h"

namespace Qvprof {

AdmissionPolicy::AdmissionPolicy(bool firstOnly, const std::string& match)
    : m_FirstOnly(firstOnly),
      m_Match(match.empty() ? std::nullopt : std::optional<std::regex>(std::regex(match))),
      m_MatchText(match) {}

AdmissionPolicy::Decision AdmissionPolicy::Decide(const std::string& commandLine) {
    if (m_Match && !std::regex_search(commandLine, *m_Match)) {
        return {false, "its command line does not match --match '" + m_MatchText + "'"};
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_ClosedReason.empty()) {
        return {false, m_ClosedReason};
    }
    if (m_FirstOnly && m_Admitted > 0) {
        return {false, "--first-only: another process is profiled"};
    }
    ++m_Admitted;
    return {true, std::string()};
}

void AdmissionPolicy::Close(const std::string& reason) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_ClosedReason = reason;
}

size_t AdmissionPolicy::AdmittedCount() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Admitted;
}

}  // namespace Qvprof
