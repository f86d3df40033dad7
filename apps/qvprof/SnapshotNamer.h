// Names snapshot files after the program and process they come from: "Sample-4242.qvsnap", then
// "Sample-4242-2.qvsnap" for that process's next snapshot. A name already on disk or already
// given out in this run is skipped, so no snapshot overwrites another. Safe to use from the
// threads of several processes at once.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "Platform/Types.h"

namespace Qvprof {

class SnapshotNamer {
public:
    static constexpr const char* Extension = ".qvsnap";

    explicit SnapshotNamer(std::filesystem::path directory);

    // A short name for the program a process runs, from the command line the process reported
    // ("\"/usr/bin/dotnet\" /app/Sample.dll" gives "Sample", "\"/usr/bin/dotnet\" build" gives
    // "dotnet-build"), made of letters, digits and . _ + - only.
    static std::string ProgramName(const std::string& commandLine);

    // The path for the process's next snapshot; the name stays reserved.
    std::filesystem::path Reserve(const std::string& program, DWORD processId);

private:
    const std::filesystem::path m_Directory;
    // Guards both members; taken by the recording threads of the processes for one reservation.
    std::mutex m_Lock;
    std::map<std::string, unsigned> m_LastNumber;  // by "<program>-<pid>"
    std::set<std::string> m_Reserved;
};

}  // namespace Qvprof
