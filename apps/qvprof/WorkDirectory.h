// qvprof's own scratch folder for one recording, removed when the recording ends: the file the
// host agent writes its diagnostics to, the registry file with the profiler's start-up settings,
// and the profiler's temporary folder (its log files among them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace Qvprof {

// Creates the folder snapshots are saved in, with its parents. Raises std::runtime_error naming the
// folder and the reason when it cannot.
void CreateOutputDirectory(const std::filesystem::path& path);

class WorkDirectory {
public:
    // Creates a new folder under the system's temporary folder. Raises std::runtime_error when it
    // cannot.
    WorkDirectory();
    ~WorkDirectory();

    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }
    std::filesystem::path HostLogPath() const { return m_Path / "host.log"; }
    std::filesystem::path RegistryPath() const { return m_Path / "settings.reg"; }
    std::filesystem::path ProfilerTemporaryPath() const { return m_Path / "profiler"; }

    // Writes the registry file: the profiler's temporary folder, and a log mask so that its log
    // file is written (errors and warnings always; the components of `logMask` besides).
    void WriteRegistry(uint32_t logMask) const;

    // The registry text for the two settings.
    static std::string RegistryText(const std::filesystem::path& temporaryPath, uint32_t logMask);

private:
    std::filesystem::path m_Path;
};

}  // namespace Qvprof
