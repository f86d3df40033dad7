#include "Profiler/MetaDataGatherer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/ISnapShotStorage.h"
#include "Platform/FileSystem.h"
#include "Profiler/CopyStream.h"
#include "Profiler/ModuleImageReader.h"
#include "ProgressIndicator/BaseProgressIndicator.h"
#include "ProgressIndicator/ChildProgressIndicator.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"
#include "Util/TempFile.h"

namespace {

constexpr ULONG ModuleNameCapacity = 4096;
constexpr WORD MetaDataSectionType = 0x100;
constexpr WORD MetaDataSectionVersion = 0;
constexpr size_t BlobCopyChunk = 64 * 1024;

bool IsLogging() noexcept {
    return Log::IsEnabled(LogComponent::MetaDataGt);
}

// Runtime identifiers print as pointers.
void* AsPointer(ModuleID moduleId) noexcept {
    return reinterpret_cast<void*>(moduleId);
}

}  // namespace

MetaDataGatherer::~MetaDataGatherer() = default;

BYTE MetaDataGatherer::GetIndexByteCount() {
    DWORD value = m_LastIndex.load(std::memory_order_relaxed);
    BYTE count = 0;
    do {
        ++count;
        value >>= 8;
    } while (value != 0);
    return count;
}

void MetaDataGatherer::Create() {
    if (IsLogging()) {
        Log::Message("MDG::Create");
    }
    const WString path = CreateTempFile(u"mdc");
    auto pFile = std::make_unique<FileBridgeStream>();
    try {
        pFile->Create(path, FileBridgeStream::AccessReadWrite);
    } catch (...) {
        // The name was made as an empty file, which the unbound stream would not delete.
        Platform::DeleteFile(path);
        throw;
    }
    SpinLockGuard guard(m_FileLock);
    m_pFile = std::move(pFile);
    // The set describes the file's content, and this file holds no record yet.
    m_Written.clear();
}

void MetaDataGatherer::Close() {
    if (IsLogging()) {
        Log::Message("MDG::Close");
    }
    std::unique_ptr<FileBridgeStream> pFile;
    {
        SpinLockGuard guard(m_FileLock);
        pFile = std::move(m_pFile);
    }
    // Dropping the created stream deletes the scratch file; that happens outside the lock.
    pFile.reset();
    SpinLockGuard guard(m_ModuleLock);
    m_Modules.clear();
}

FileBridgeStream& MetaDataGatherer::File() {
    if (m_pFile == nullptr) {
        throw std::runtime_error("File is closed");
    }
    return *m_pFile;
}

void MetaDataGatherer::LoadModule(ICorProfilerInfo* pInfo, ModuleID moduleId) {
    if (IsLogging()) {
        Log::Format("MDG::LoadModule mid=%p", AsPointer(moduleId));
    }
    if (pInfo == nullptr) {
        throw std::runtime_error("Invalid profiler info interface");
    }
    SpinLockGuard guard(m_ModuleLock);
    // A repeated load keeps the record, and with it an index already determined.
    m_Modules.emplace(moduleId, ModuleRecord{pInfo, UndeterminedIndex});
}

namespace {

// Copies a mapped module's blob to `output` through one reused buffer: a large module's metadata
// is megabytes, and a fresh buffer that size costs more to fault in than the copy itself.
void CopyBlob(MetaDataGatherer::MappedModule& mapped, IWriteBridgeStream& output) {
    const MetaDataLocation& location = mapped.location;
    mapped.file.SeekFile(ISeekBridgeStream::SeekBegin,
                         int64_t{location.base} + int64_t{location.offset});
    const size_t bufferSize = std::min<size_t>(location.size, BlobCopyChunk);
    std::unique_ptr<BYTE[]> pBuffer(new BYTE[bufferSize]);
    for (DWORD left = location.size; left != 0;) {
        const size_t chunk = std::min<size_t>(left, bufferSize);
        mapped.file.Read(pBuffer.get(), chunk);
        output.Write(pBuffer.get(), chunk);
        left -= static_cast<DWORD>(chunk);
    }
}

bool IsFilePath(const WCHAR* pName) {
    for (const WCHAR* p = pName; *p != 0; ++p) {
        if (*p == u'/' || *p == u'\\') {
            return true;
        }
    }
    return false;
}

}  // namespace

bool MetaDataGatherer::Map(ICorProfilerInfo* pInfo, ModuleID moduleId, MappedModule& mapped) {
    WCHAR name[ModuleNameCapacity];
    name[0] = 0;
    const HRESULT hr =
        pInfo->GetModuleInfo(moduleId, nullptr, ModuleNameCapacity, nullptr, name, nullptr);
    if (FAILED(hr)) {
        throw _hr_error("Can't get module properies", hr);
    }
    name[ModuleNameCapacity - 1] = 0;

    mapped.mvid = GUID_NULL;
    // A module with no file: the runtime gives no name for it, or (on Linux) a bare name such as
    // "RefEmit_InMemoryManifestModule" for a module built in memory; a module loaded from a file
    // is named by its path.
    if (name[0] == 0 || !IsFilePath(name)) {
        if (IsLogging()) {
            Log::Format("MDG::Map mid=%p%s res=no_file name='%S'", AsPointer(moduleId), "", name);
        }
        return false;
    }
    if (IsLogging()) {
        Log::Format("MDG::Map mid=%p%s res=ok name='%S'", AsPointer(moduleId), "", name);
    }
    if (mapped.file.IsOpen()) {
        throw std::runtime_error("Unexpected map call");
    }

    mapped.file.Open(WString(name), FileBridgeStream::AccessRead);
    if (!LocateModuleMetaData(mapped.file, mapped.location)) {
        mapped.file.Close();
        return false;
    }
    BYTE mvid[sizeof(GUID)];
    ReadModuleMvid(mapped.file, mapped.location, mvid);
    std::memcpy(&mapped.mvid, mvid, sizeof(GUID));
    return true;
}

MetaDataGatherer::Mvid MetaDataGatherer::KeyOf(const GUID& mvid) {
    Mvid key;
    std::memcpy(key.data(), &mvid, key.size());
    return key;
}

DWORD MetaDataGatherer::AssignIndex(const GUID& mvid) {
    const Mvid key = KeyOf(mvid);
    SpinLockGuard guard(m_IndexLock);
    auto found = m_MvidIndexes.find(key);
    if (found != m_MvidIndexes.end()) {
        return found->second;
    }
    const DWORD index = m_LastIndex.load(std::memory_order_relaxed) + 1;
    m_MvidIndexes.emplace(key, index);
    m_LastIndex.store(index, std::memory_order_relaxed);
    return index;
}

DWORD MetaDataGatherer::FindIndex(const GUID& mvid) {
    const Mvid key = KeyOf(mvid);
    SpinLockGuard guard(m_IndexLock);
    auto found = m_MvidIndexes.find(key);
    return found != m_MvidIndexes.end() ? found->second : 0;
}

void MetaDataGatherer::StoreIndex(ModuleID moduleId, DWORD index) {
    SpinLockGuard guard(m_ModuleLock);
    auto found = m_Modules.find(moduleId);
    if (found != m_Modules.end() && found->second.index == UndeterminedIndex) {
        found->second.index = index;
    }
}

DWORD MetaDataGatherer::GetMetaDataIndex(ModuleID moduleId) {
    if (moduleId == 0) {
        return 0;
    }
    ModuleRecord record;
    {
        SpinLockGuard guard(m_ModuleLock);
        auto found = m_Modules.find(moduleId);
        if (found == m_Modules.end()) {
            throw std::runtime_error("Inconsistent module asking");
        }
        record = found->second;
    }
    if (record.index != UndeterminedIndex) {
        return record.index;
    }

    // The file is read without the module lock; two threads may both read it, and the MVID map
    // gives them the same index.
    DWORD index = 0;
    {
        MappedModule mapped;
        if (Map(record.pInfo, moduleId, mapped)) {
            index = AssignIndex(mapped.mvid);
        }
    }
    {
        SpinLockGuard guard(m_ModuleLock);
        auto found = m_Modules.find(moduleId);
        if (found == m_Modules.end()) {
            throw std::runtime_error("Inconsistent module asking");
        }
        found->second.index = index;
    }
    if (IsLogging()) {
        Log::Format("MDG::GetMetaDataIndex mid=%p mdi=%u", AsPointer(moduleId), index);
    }
    return index;
}

void MetaDataGatherer::WriteMetaData(std::set<DWORD>& written, IWriteBridgeStream* pOutput,
                                     ModuleID moduleId, ModuleRecord& record) {
    if (record.index == 0) {
        return;
    }
    if (record.index != UndeterminedIndex && written.count(record.index) != 0) {
        return;
    }
    MappedModule mapped;
    if (!Map(record.pInfo, moduleId, mapped)) {
        if (record.index != UndeterminedIndex) {
            throw std::runtime_error("No metadata found for second time");
        }
        record.index = 0;
        return;
    }
    if (record.index == UndeterminedIndex) {
        record.index = AssignIndex(mapped.mvid);
        if (written.count(record.index) != 0) {
            return;
        }
    } else if (FindIndex(mapped.mvid) != record.index) {
        // The file was replaced since the index was determined (a rebuild while the program
        // runs): its metadata would name the module's tokens wrongly, so none is written.
        Log::WarningFormat("MDG::WriteMetaData mid=%p mdi=%u res='file changed'",
                           AsPointer(moduleId), record.index);
        return;
    }
    if (IsLogging()) {
        Log::Format("MDG::WriteMetaData mid=%p mdi=%u", AsPointer(moduleId), record.index);
    }
    WriteU32(*pOutput, record.index);
    WriteU32(*pOutput, mapped.location.size);
    CopyBlob(mapped, *pOutput);
    written.insert(record.index);
}

void MetaDataGatherer::UnloadModule(ModuleID moduleId) {
    if (IsLogging()) {
        Log::Format("MDG::UnloadModule mid=%p", AsPointer(moduleId));
    }
    // Taken before the module leaves the map, so that Write, which holds it, finds every module
    // either still in the map or already in the file.
    SpinLockGuard fileGuard(m_FileLock);
    ModuleRecord record;
    {
        SpinLockGuard guard(m_ModuleLock);
        auto found = m_Modules.find(moduleId);
        if (found == m_Modules.end()) {
            if (IsLogging()) {
                Log::Format("MDG::UnloadModule mid=%p res='unmatch'", AsPointer(moduleId));
            }
            return;
        }
        record = found->second;
        m_Modules.erase(found);
    }
    // Saved now, while the runtime still knows the module's file. A record cut short (the
    // module's file failing halfway through the copy) is dropped: the file's length for later
    // snapshots is its position, so moving back to the record's start forgets it.
    FileBridgeStream& file = File();
    const int64_t start = file.TellFile();
    try {
        WriteMetaData(m_Written, &file, moduleId, record);
    } catch (...) {
        file.SeekFile(ISeekBridgeStream::SeekBegin, start);
        throw;
    }
}

void MetaDataGatherer::Write(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot) {
    // The file lock is held for the whole run and the module list is copied under it. An unload
    // holds the file lock from before it removes the module until its record is saved, so each
    // module is either in the copy or in the file; one that unloads meanwhile waits, and lands
    // in this section from the copy and in the file afterwards.
    SpinLockGuard fileGuard(m_FileLock);
    FileBridgeStream& file = File();
    std::vector<std::pair<ModuleID, ModuleRecord>> modules;
    {
        SpinLockGuard guard(m_ModuleLock);
        modules.assign(m_Modules.begin(), m_Modules.end());
    }

    pProgress->Begin(static_cast<DWORD>(m_Written.size() + modules.size()));
    IWriteSeekBridgeStream* pSection = pSnapshot->CreateSection();
    WriteU32(*pSection, 0);

    const int64_t length = file.TellFile();
    file.SeekFile(ISeekBridgeStream::SeekBegin, 0);
    {
        ChildProgressIndicator child(*pProgress, static_cast<DWORD>(m_Written.size()));
        CopyStream(&child, &file, pSection, static_cast<uint64_t>(length));
    }
    file.SeekFile(ISeekBridgeStream::SeekEnd, 0);

    std::set<DWORD> written = m_Written;
    for (auto& [moduleId, record] : modules) {
        const DWORD before = record.index;
        WriteMetaData(written, pSection, moduleId, record);
        if (before == UndeterminedIndex) {
            StoreIndex(moduleId, record.index);
        }
        pProgress->Step(1);
    }

    pSection->Seek(ISeekBridgeStream::SeekBegin, 0);
    WriteSizeTAsUInt32(*pSection, written.size());
    pSnapshot->CloseSection(pSection, MetaDataSectionType, MetaDataSectionVersion);
    pProgress->End();
}
