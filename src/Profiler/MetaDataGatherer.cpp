#include "Profiler/MetaDataGatherer.h"

#include <cstring>
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
    std::map<ModuleID, std::vector<BYTE>> kept;  // freed after the lock
    SpinLockGuard guard(m_ModuleLock);
    m_Modules.clear();
    kept = TakeKeptBlobs();
}

std::map<ModuleID, std::vector<BYTE>> MetaDataGatherer::TakeKeptBlobs() {
    m_KeptBytes = 0;
    return std::exchange(m_KeptBlobs, {});
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

bool IsFilePath(const WCHAR* pName) {
    for (const WCHAR* p = pName; *p != 0; ++p) {
        if (*p == u'/' || *p == u'\\') {
            return true;
        }
    }
    return false;
}

}  // namespace

const BYTE* MetaDataGatherer::Map(ICorProfilerInfo* pInfo, ModuleID moduleId, DWORD& size,
                                  GUID& mvid, std::vector<BYTE>& blob) {
    WCHAR name[ModuleNameCapacity];
    name[0] = 0;
    const HRESULT hr =
        pInfo->GetModuleInfo(moduleId, nullptr, ModuleNameCapacity, nullptr, name, nullptr);
    if (FAILED(hr)) {
        throw _hr_error("Can't get module properies", hr);
    }
    name[ModuleNameCapacity - 1] = 0;

    size = 0;
    mvid = GUID_NULL;
    // A module with no file: the runtime gives no name for it, or (on Linux) a bare name such as
    // "RefEmit_InMemoryManifestModule" for a module built in memory; a module loaded from a file
    // is named by its path.
    if (name[0] == 0 || !IsFilePath(name)) {
        if (IsLogging()) {
            Log::Format("MDG::Map mid=%p%s res=no_file name='%S'", AsPointer(moduleId), "", name);
        }
        return nullptr;
    }
    if (IsLogging()) {
        Log::Format("MDG::Map mid=%p%s res=ok name='%S'", AsPointer(moduleId), "", name);
    }
    if (!blob.empty()) {
        throw std::runtime_error("Unexpected map call");
    }

    FileBridgeStream file;
    file.Open(WString(name), FileBridgeStream::AccessRead);
    const bool managed = ReadModuleMetaData(file, blob);
    const BYTE* pResult = nullptr;
    if (managed) {
        std::memcpy(&mvid, FindModuleMvid(blob), sizeof(GUID));
        size = static_cast<DWORD>(blob.size());
        pResult = blob.data();
    }
    file.Close();
    return pResult;
}

DWORD MetaDataGatherer::AssignIndex(const GUID& mvid) {
    Mvid key;
    std::memcpy(key.data(), &mvid, key.size());
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
    std::vector<BYTE> blob;
    {
        DWORD size = 0;
        GUID mvid;
        if (Map(record.pInfo, moduleId, size, mvid, blob) != nullptr) {
            index = AssignIndex(mvid);
        }
    }
    {
        SpinLockGuard guard(m_ModuleLock);
        auto found = m_Modules.find(moduleId);
        if (found == m_Modules.end()) {
            throw std::runtime_error("Inconsistent module asking");
        }
        found->second.index = index;
        if (!blob.empty() && m_KeptBytes + blob.size() <= KeptBlobBudget &&
            m_KeptBlobs.count(moduleId) == 0) {
            m_KeptBytes += blob.size();
            m_KeptBlobs.emplace(moduleId, std::move(blob));
        }
    }
    if (IsLogging()) {
        Log::Format("MDG::GetMetaDataIndex mid=%p mdi=%u", AsPointer(moduleId), index);
    }
    return index;
}

void MetaDataGatherer::WriteMetaData(std::set<DWORD>& written, IWriteBridgeStream* pOutput,
                                     ModuleID moduleId, ModuleRecord& record,
                                     std::vector<BYTE>&& kept) {
    if (record.index == 0) {
        return;
    }
    if (record.index != UndeterminedIndex && written.count(record.index) != 0) {
        return;
    }
    std::vector<BYTE> blob = std::move(kept);
    DWORD size = static_cast<DWORD>(blob.size());
    GUID mvid;
    const BYTE* pBlob = nullptr;
    if (blob.empty()) {
        pBlob = Map(record.pInfo, moduleId, size, mvid, blob);
    } else {
        std::memcpy(&mvid, FindModuleMvid(blob), sizeof(GUID));
        pBlob = blob.data();
    }
    if (pBlob == nullptr) {
        if (record.index != UndeterminedIndex) {
            throw std::runtime_error("No metadata found for second time");
        }
        record.index = 0;
        return;
    }
    if (record.index == UndeterminedIndex) {
        record.index = AssignIndex(mvid);
        if (written.count(record.index) != 0) {
            return;
        }
    }
    if (IsLogging()) {
        Log::Format("MDG::WriteMetaData mid=%p mdi=%u", AsPointer(moduleId), record.index);
    }
    WriteU32(*pOutput, record.index);
    WriteU32(*pOutput, size);
    pOutput->Write(pBlob, size);
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
    std::vector<BYTE> blob;
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
        if (auto kept = m_KeptBlobs.find(moduleId); kept != m_KeptBlobs.end()) {
            m_KeptBytes -= kept->second.size();
            blob = std::move(kept->second);
            m_KeptBlobs.erase(kept);
        }
    }
    // Saved now, while the runtime still knows the module's file.
    WriteMetaData(m_Written, &File(), moduleId, record, std::move(blob));
}

void MetaDataGatherer::Write(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot) {
    // The file lock is held for the whole run and the module list is copied under it. An unload
    // holds the file lock from before it removes the module until its record is saved, so each
    // module is either in the copy or in the file; one that unloads meanwhile waits, and lands
    // in this section from the copy and in the file afterwards.
    SpinLockGuard fileGuard(m_FileLock);
    FileBridgeStream& file = File();
    std::vector<std::pair<ModuleID, ModuleRecord>> modules;
    // The kept blobs serve this snapshot and are let go with it.
    std::map<ModuleID, std::vector<BYTE>> kept;
    {
        SpinLockGuard guard(m_ModuleLock);
        modules.assign(m_Modules.begin(), m_Modules.end());
        kept = TakeKeptBlobs();
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
        auto found = kept.find(moduleId);
        WriteMetaData(written, pSection, moduleId, record,
                      found != kept.end() ? std::move(found->second) : std::vector<BYTE>());
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
