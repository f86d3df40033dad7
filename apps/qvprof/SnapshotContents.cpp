#include "SnapshotContents.h"

#include <fmt/format.h>

#include <stdexcept>

#include "Console.h"
#include "Controller/MetaDataSection.h"
#include "Controller/ModulePathSection.h"
#include "Controller/PerformanceSnapshot.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SectionTypes.h"
#include "Controller/SnapshotFile.h"
#include "RecordingSummary.h"

namespace Qvprof {

using namespace Controller;

namespace {

// From this size on, reading and checking a snapshot takes seconds here: 7 s for a 113 MB tracing
// snapshot of a compiler run, 24 s for a heap dump of ten million objects (586 MB).
constexpr uintmax_t LargeSnapshotBytes = 100 * 1024 * 1024;

}  // namespace

void AnnounceLargeSnapshot(const std::string& path, Console& console) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size >= LargeSnapshotBytes) {
        console.Info(fmt::format("{}: reading and checking {}; a snapshot this large takes a while",
                                 path, RecordingSummary::Size(size)));
    }
}

SnapshotContents SnapshotContents::Load(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        throw std::runtime_error("There is no file '" + path.string() + "'");
    }
    if (std::filesystem::is_directory(status)) {
        throw std::runtime_error("'" + path.string() +
                                 "' is a folder; give the path of a snapshot file in it");
    }
    Controller::Snapshot snapshot = SnapshotFile::Read(path);
    const auto size = std::filesystem::file_size(path, error);
    return SnapshotContents(std::move(snapshot), path.string(), error ? 0 : size);
}

SnapshotContents::SnapshotContents(Controller::Snapshot snapshot, std::string path,
                                   uint64_t fileSize)
    : m_Snapshot(std::move(snapshot)), m_Path(std::move(path)), m_FileSize(fileSize) {
    ReadEnvironment();
    ReadModules();
    ReadClasses();
    ReadProfile();
    ReadHeap();
}

std::string SnapshotContents::KindName() const {
    switch (m_Snapshot.magic) {
        case PerformanceSnapshotMagic:
            return "performance";
        case MemorySnapshotMagic:
            return "memory";
        default:
            return fmt::format("kind {:#010x}", m_Snapshot.magic);
    }
}

void SnapshotContents::ReadEnvironment() {
    const SnapshotSection* pSection = m_Snapshot.FindSection(EnvironmentSectionType);
    if (pSection == nullptr || !pSection->closed) {
        return;
    }
    try {
        m_Environment = ReadEnvironmentSection(*pSection);
    } catch (const std::exception& error) {
        m_Problems.push_back(error.what());
    }
}

void SnapshotContents::ReadModules() {
    if (const SnapshotSection* pSection = m_Snapshot.FindSection(ModulePathSectionType)) {
        try {
            for (ModulePaths& entry : ReadModulePathSection(*pSection)) {
                ModuleSummary& module = m_Modules[entry.index];
                module.index = entry.index;
                module.paths = std::move(entry.paths);
            }
        } catch (const std::exception& error) {
            m_Problems.push_back(error.what());
        }
    }
    const SnapshotSection* pSection = m_Snapshot.FindSection(MetaDataSectionType);
    if (pSection == nullptr) {
        return;
    }
    try {
        for (MetaDataRecord& record : ReadMetaDataSection(*pSection)) {
            ModuleSummary& module = m_Modules[record.index];
            module.index = record.index;
            module.hasMetadata = true;
            m_Names.Add(record.index, std::move(record.blob));
            module.metadataError = m_Names.LoadError(record.index);
            if (const MetaDataTables* pTables = m_Names.Tables(record.index)) {
                module.typeDefinitions = pTables->RowCount(MetaDataTable::TypeDef);
                module.methodDefinitions = pTables->RowCount(MetaDataTable::MethodDef);
                try {
                    module.name = pTables->ModuleName();
                } catch (const std::exception&) {
                    // a damaged name row leaves the module known by its index alone
                }
            }
        }
    } catch (const std::exception& error) {
        m_Problems.push_back(error.what());
    }
}

void SnapshotContents::ReadClasses() {
    const SnapshotSection* pData = m_Snapshot.FindSection(ClassDataSectionType);
    const SnapshotSection* pIndex = m_Snapshot.FindSection(ClassIndexSectionType);
    if (pData == nullptr || pIndex == nullptr) {
        return;
    }
    try {
        m_Classes = ClassTable::Read(*pData, *pIndex);
    } catch (const std::exception& error) {
        m_Problems.push_back(error.what());
        return;
    }
    for (const ClassRecord& record : m_Classes->Records()) {
        if (!record.IsArray() && record.metadataIndex != 0) {
            ModuleSummary& module = m_Modules[record.metadataIndex];
            module.index = record.metadataIndex;
            ++module.recordedClasses;
        }
    }
}

void SnapshotContents::ReadProfile() {
    if (m_Snapshot.magic != PerformanceSnapshotMagic) {
        return;
    }
    try {
        m_Profile = Controller::Profile::Build(ReadPerformanceSnapshot(m_Snapshot), m_Names);
    } catch (const std::exception& error) {
        m_Problems.push_back(error.what());
        return;
    }
    for (const ProfileFunction& function : m_Profile->Functions()) {
        if (function.metadataIndex != 0) {
            ModuleSummary& module = m_Modules[function.metadataIndex];
            module.index = function.metadataIndex;
            ++module.measuredFunctions;
        }
    }
}

void SnapshotContents::ReadHeap() {
    if (m_Snapshot.magic != MemorySnapshotMagic) {
        return;
    }
    try {
        m_Heap.emplace(HeapModel::Build(m_Snapshot));
    } catch (const std::exception& error) {
        m_Problems.push_back(error.what());
    }
}

}  // namespace Qvprof
