#include "LaunchEnvironment.h"

#include <algorithm>

extern char** environ;

namespace Qvprof {

namespace {

constexpr const char* RegistryVariable = "QUORVELAN_REGISTRY";
// How long `dotnet test` lets its test host end before killing it: 100 ms unless set, too short
// for the profiler to send the host's snapshot as it ends. The user's own value is kept.
constexpr const char* TestHostShutdownVariable = "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT";
constexpr const char* TestHostShutdownMilliseconds = "60000";

// Platform-specific forms of the profiler path win over CORECLR_PROFILER_PATH in the runtime.
constexpr const char* OverridingVariables[] = {
    "CORECLR_PROFILER_PATH_64", "CORECLR_PROFILER_PATH_32", "CORECLR_PROFILER_PATH_ARM64",
    "CORECLR_PROFILER_PATH_ARM32"};
// Set to 0, these switch off every diagnostic service of the runtime, profiling among them.
constexpr const char* DiagnosticsSwitches[] = {
    "DOTNET_EnableDiagnostics", "COMPlus_EnableDiagnostics", "DOTNET_EnableDiagnostics_Profiler",
    "COMPlus_EnableDiagnostics_Profiler"};

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::string ValueOf(const std::string& entry) {
    const size_t equals = entry.find('=');
    return equals == std::string::npos ? std::string() : entry.substr(equals + 1);
}

template <size_t N>
bool IsOneOf(const std::string& name, const char* const (&names)[N]) {
    return std::find_if(std::begin(names), std::end(names),
                        [&](const char* pName) { return name == pName; }) != std::end(names);
}

}  // namespace

LaunchEnvironment::LaunchEnvironment(const ProfilerLibraries& libraries, const std::string& classId,
                                     const std::string& bridgeAddress,
                                     const std::string& hostLogPath,
                                     const std::string& registryPath) {
    m_Variables = {
        {"CORECLR_ENABLE_PROFILING", "1"},
        {"CORECLR_PROFILER", classId},
        {"CORECLR_PROFILER_PATH", libraries.host.string()},
        {"DOTNET_ProfAPI_ProfilerCompatibilitySetting", "EnableV2Profiler"},
        {"QUORVELAN_PROFILER_BRIDGE", bridgeAddress},
        {"QUORVELAN_PROFILER_LIBRARY", libraries.profiler.string()},
    };
    if (!hostLogPath.empty()) {
        m_Variables.emplace_back("QUORVELAN_HOST_LOG", hostLogPath);
    }
    if (!registryPath.empty()) {
        m_Variables.emplace_back(RegistryVariable, registryPath);
    }
}

std::vector<std::string> LaunchEnvironment::Compose(const std::vector<std::string>& inherited,
                                                    std::vector<std::string>* pNotes) const {
    std::vector<std::string> entries;
    bool userRegistry = false;
    bool userTestHostShutdown = false;
    for (const std::string& entry : inherited) {
        const std::string name = NameOf(entry);
        userTestHostShutdown = userTestHostShutdown || name == TestHostShutdownVariable;
        if (IsOneOf(name, OverridingVariables)) {
            if (pNotes != nullptr) {
                pNotes->push_back("removed " + name +
                                  " from the program's environment: it would "
                                  "load another profiler");
            }
            continue;
        }
        if (IsOneOf(name, DiagnosticsSwitches) && ValueOf(entry) == "0") {
            if (pNotes != nullptr) {
                pNotes->push_back("removed " + name +
                                  "=0 from the program's environment: it "
                                  "switches profiling off");
            }
            continue;
        }
        if (name == RegistryVariable && !ValueOf(entry).empty()) {
            userRegistry = true;
            entries.push_back(entry);
            if (pNotes != nullptr) {
                pNotes->push_back("the profiler reads its settings from " + entry +
                                  "; its log files go where that file says");
            }
            continue;
        }
        const bool ours = std::any_of(m_Variables.begin(), m_Variables.end(),
                                      [&](const Variable& v) { return v.first == name; });
        if (!ours) {
            entries.push_back(entry);
        }
    }
    for (const auto& [name, value] : m_Variables) {
        if (name == RegistryVariable && userRegistry) {
            continue;
        }
        entries.push_back(name + "=" + value);
    }
    if (!userTestHostShutdown) {
        entries.push_back(std::string(TestHostShutdownVariable) + "=" +
                          TestHostShutdownMilliseconds);
    }
    return entries;
}

std::vector<std::string> LaunchEnvironment::Inherited() {
    std::vector<std::string> entries;
    for (char** pEntry = environ; *pEntry != nullptr; ++pEntry) {
        entries.emplace_back(*pEntry);
    }
    return entries;
}

}  // namespace Qvprof
