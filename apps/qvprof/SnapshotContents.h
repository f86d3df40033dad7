// A snapshot file read for reports: the snapshot itself, and what its identity sections say (the
// environment record, every module with its paths and metadata, the class records) with names
// resolved from the snapshot's own metadata. A section that cannot be read does not stop the
// report: it is named among the problems and the rest is shown.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Controller/ClassTable.h"
#include "Controller/EnvironmentSection.h"
#include "Controller/HeapModel.h"
#include "Controller/MetaDataNameResolver.h"
#include "Controller/Profile.h"
#include "Controller/Snapshot.h"

namespace Qvprof {

class Console;

// Tells the user, before a snapshot file large enough to take seconds is read, that reading it is
// under way; says nothing for smaller or missing files.
void AnnounceLargeSnapshot(const std::string& path, Console& console);

struct ModuleSummary {
    uint32_t index = 0;  // the metadata index
    std::vector<std::string> paths;
    std::string name;  // from its metadata: what to call a module with no recorded path
    bool hasMetadata = false;
    std::string metadataError;  // why the module's metadata cannot name anything
    uint32_t typeDefinitions = 0;
    uint32_t methodDefinitions = 0;
    size_t recordedClasses = 0;    // class records of the snapshot from this module
    size_t measuredFunctions = 0;  // functions of its call trees from this module
};

class SnapshotContents {
public:
    // Reads and checks the file. Raises std::runtime_error naming the file and what is wrong
    // when it is missing, a folder, not a snapshot file, or damaged.
    static SnapshotContents Load(const std::filesystem::path& path);
    SnapshotContents(Controller::Snapshot snapshot, std::string path, uint64_t fileSize);

    const Controller::Snapshot& Snapshot() const { return m_Snapshot; }
    const std::string& Path() const { return m_Path; }
    uint64_t FileSize() const { return m_FileSize; }

    const std::optional<Controller::EnvironmentRecord>& Environment() const {
        return m_Environment;
    }
    const Controller::MetaDataNameResolver& Names() const { return m_Names; }
    // By metadata index.
    const std::map<uint32_t, ModuleSummary>& Modules() const { return m_Modules; }
    const std::optional<Controller::ClassTable>& Classes() const { return m_Classes; }
    // The call trees of a performance snapshot, named from its metadata.
    const std::optional<Controller::Profile>& Profile() const { return m_Profile; }
    // The collections, heap dumps and sampled allocations of a memory snapshot.
    const std::optional<Controller::HeapModel>& Heap() const { return m_Heap; }
    // Sections that could not be read, each with the reason.
    const std::vector<std::string>& Problems() const { return m_Problems; }

    // "performance", "memory", or the magic in hexadecimal.
    std::string KindName() const;

private:
    void ReadEnvironment();
    void ReadModules();
    void ReadClasses();
    void ReadProfile();
    void ReadHeap();

    Controller::Snapshot m_Snapshot;
    std::string m_Path;
    uint64_t m_FileSize = 0;
    std::optional<Controller::EnvironmentRecord> m_Environment;
    Controller::MetaDataNameResolver m_Names;
    std::map<uint32_t, ModuleSummary> m_Modules;
    std::optional<Controller::ClassTable> m_Classes;
    std::optional<Controller::Profile> m_Profile;
    std::optional<Controller::HeapModel> m_Heap;
    std::vector<std::string> m_Problems;
};

}  // namespace Qvprof
