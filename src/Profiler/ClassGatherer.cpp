#include "Profiler/ClassGatherer.h"

#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/ISnapShotStorage.h"
#include "Platform/FileSystem.h"
#include "Profiler/CopyStream.h"
#include "Profiler/MetaDataGatherer.h"
#include "ProgressIndicator/BaseProgressIndicator.h"
#include "ProgressIndicator/ChildProgressIndicator.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"
#include "Util/TempFile.h"

namespace {

// Offset of the parent field within a record: metadata index, token and rank come first.
constexpr INT32 ParentFieldOffset = 12;
constexpr WORD PlaceholderCount = 0xFFFF;

const void* Id(UINT_PTR id) {
    return reinterpret_cast<const void*>(id);
}

bool IsLogging() {
    return Log::IsEnabled(LogComponent::SignatureGt);
}

// A new scratch file in the temporary directory, readable and writable.
std::unique_ptr<FileBridgeStream> CreateScratchFile(const WCHAR* pStem) {
    const WString path = CreateTempFile(pStem);
    auto pFile = std::make_unique<FileBridgeStream>();
    try {
        pFile->Create(path, FileBridgeStream::AccessReadWrite);
    } catch (...) {
        // The name is not bound to the stream, which would otherwise delete it.
        Platform::DeleteFile(path);
        throw;
    }
    return pFile;
}

// Puts a file back at its end after an interrupted patch or copy, so that later records are
// still appended behind the others.
void SeekBackQuietly(FileBridgeStream& file, INT32 end) noexcept {
    try {
        file.Seek(ISeekBridgeStream::SeekBegin, end);
    } catch (const std::exception&) {
        // The original failure is the one the caller hears of.
    }
}

}  // namespace

ClassGatherer::ClassGatherer(MetaDataGatherer* pMetaData) : m_pMetaData(pMetaData) {}

// The files are scratch files: destroying their streams deletes them.
ClassGatherer::~ClassGatherer() = default;

void ClassGatherer::Create(ICorProfilerInfo* pInfo) {
    if (IsLogging()) {
        Log::Message("CG::Create");
    }
    if (pInfo == nullptr) {
        throw std::runtime_error("Invalid profiler info interface");
    }
    m_pInfo = pInfo;
    m_pInfo2.QueryFrom(pInfo, IID_ICorProfilerInfo2);

    std::unique_ptr<FileBridgeStream> pDataFile = CreateScratchFile(u"cgd");
    std::unique_ptr<FileBridgeStream> pIndexFile = CreateScratchFile(u"cgi");
    SpinLockGuard fileGuard(m_FileLock);
    m_pDataFile = std::move(pDataFile);
    m_pIndexFile = std::move(pIndexFile);
    m_ClassCount = 0;
}

void ClassGatherer::UnloadClass(ClassID classId) {
    if (IsLogging()) {
        Log::Format("CG::UnloadClass cid=%p", Id(classId));
    }
    SpinLockGuard mapGuard(m_MapLock);
    m_ClassMap.erase(classId);
}

void ClassGatherer::Close() {
    if (IsLogging()) {
        Log::Message("CG::Close");
    }
    m_pInfo2 = nullptr;
    m_pInfo = nullptr;
    std::unique_ptr<FileBridgeStream> pDataFile;
    std::unique_ptr<FileBridgeStream> pIndexFile;
    {
        SpinLockGuard fileGuard(m_FileLock);
        {
            SpinLockGuard mapGuard(m_MapLock);
            m_ClassMap.clear();
        }
        m_ClassCount = 0;
        pDataFile = std::move(m_pDataFile);
        pIndexFile = std::move(m_pIndexFile);
    }
    // Destroyed outside the lock: closing and deleting files is slow.
    pDataFile.reset();
    pIndexFile.reset();
}

INT32 ClassGatherer::CollectClassId(ClassID classId) {
    if (classId == 0) {
        return NoClassPosition;
    }
    {
        // The hot path: a look-up in a hash map allocates nothing.
        SpinLockGuard mapGuard(m_MapLock);
        auto found = m_ClassMap.find(classId);
        if (found != m_ClassMap.end()) {
            return found->second;
        }
    }

    const ClassDescription description = Describe(classId);
    const DWORD metaDataIndex = m_pMetaData->GetMetaDataIndex(description.moduleId);

    INT32 parentField = 0;
    bool written = false;
    const INT32 position = AppendRecord(classId, description, metaDataIndex, parentField, written);
    // The record is in the map now, so a class that refers to itself finds its own position.
    if (written) {
        CompleteRecord(parentField, description);
    }
    if (position == NoClassPosition) {
        throw std::runtime_error("Invalid class offset");
    }
    return position;
}

ClassGatherer::ClassDescription ClassGatherer::Describe(ClassID classId) {
    ClassDescription description;
    ClassID elementClass = 0;
    ULONG rank = 0;
    HRESULT hr = m_pInfo->IsArrayClass(classId, nullptr, &elementClass, &rank);
    if (FAILED(hr)) {
        throw _hr_error("Can't detect array", hr);
    }
    if (hr == S_OK) {
        description.token = UndescribedToken;
        description.rank = rank;
        description.parent = elementClass;
        DescribeArray(elementClass, description);
    } else if (m_pInfo2) {
        DescribeClass2(classId, description);
    } else {
        DescribeClass(classId, description);
    }
    return description;
}

// An array takes the module of the innermost element class of its chain of arrays.
void ClassGatherer::DescribeArray(ClassID elementClass, ClassDescription& description) {
    ClassID innermost = elementClass;
    while (innermost != 0) {
        ClassID next = 0;
        ULONG rank = 0;
        HRESULT hr = m_pInfo->IsArrayClass(innermost, nullptr, &next, &rank);
        if (FAILED(hr)) {
            throw _hr_error("Can't detect array", hr);
        }
        if (hr != S_OK) {
            break;
        }
        innermost = next;
    }
    if (innermost == 0) {
        return;
    }
    ModuleID moduleId = 0;
    HRESULT hr = m_pInfo->GetClassIDInfo(innermost, &moduleId, nullptr);
    if (hr == CORPROF_E_CLASSID_IS_COMPOSITE) {
        moduleId = 0;
    } else if (FAILED(hr)) {
        throw _hr_error("Can't get classInfo", hr);
    }
    description.moduleId = moduleId;
}

void ClassGatherer::DescribeClass2(ClassID classId, ClassDescription& description) {
    ULONG32 count = 0;
    HRESULT hr = m_pInfo2->GetClassIDInfo2(classId, &description.moduleId, &description.token,
                                           &description.parent, 0, &count, nullptr);
    if (hr == CORPROF_E_CLASSID_IS_COMPOSITE) {
        description.moduleId = 0;
        description.token = UndescribedToken;
        description.parent = 0;
        return;
    }
    if (FAILED(hr)) {
        throw _hr_error("Can't get classInfo2", hr);
    }
    if (count == 0) {
        return;
    }
    description.typeArgs.resize(count);
    ULONG32 fetched = 0;
    hr = m_pInfo2->GetClassIDInfo2(classId, nullptr, nullptr, nullptr, count, &fetched,
                                   description.typeArgs.data());
    if (FAILED(hr)) {
        throw _hr_error("Can't get classInfo2", hr);
    }
    if (fetched < count) {
        description.typeArgs.resize(fetched);
    }
}

// Without the second-version interface the runtime tells no parent and no type arguments.
void ClassGatherer::DescribeClass(ClassID classId, ClassDescription& description) {
    HRESULT hr = m_pInfo->GetClassIDInfo(classId, &description.moduleId, &description.token);
    if (hr == CORPROF_E_CLASSID_IS_COMPOSITE) {
        description.moduleId = 0;
        description.token = UndescribedToken;
    } else if (FAILED(hr)) {
        throw _hr_error("Can't get classInfo", hr);
    }
    description.parent = 0;
}

INT32 ClassGatherer::AppendRecord(ClassID classId, const ClassDescription& description,
                                  DWORD metaDataIndex, INT32& parentField, bool& written) {
    SpinLockGuard fileGuard(m_FileLock);
    {
        SpinLockGuard mapGuard(m_MapLock);
        auto found = m_ClassMap.find(classId);
        if (found != m_ClassMap.end()) {
            written = false;
            return found->second;
        }
    }
    if (!m_pDataFile || !m_pIndexFile) {
        throw std::runtime_error("File is closed");
    }
    FileBridgeStream& data = *m_pDataFile;
    const INT32 position = data.Tell();
    WriteI64(*m_pIndexFile, position);
    WriteU32(data, metaDataIndex);
    WriteU32(data, description.token);
    WriteU32(data, description.rank);
    parentField = position + ParentFieldOffset;
    WriteI64(data, NoClassPosition);
    WriteU16(data, PlaceholderCount);
    for (size_t i = 0; i < description.typeArgs.size(); ++i) {
        WriteI64(data, NoClassPosition);
    }
    {
        SpinLockGuard mapGuard(m_MapLock);
        if (!m_ClassMap.emplace(classId, position).second) {
            throw std::runtime_error("Class position is already assugned");
        }
    }
    ++m_ClassCount;
    written = true;
    if (IsLogging()) {
        Log::Format("CG::CollectClassId mid=%p cid=%p mdi=%08X tk=%08X cidPos=%08X",
                    Id(description.moduleId), Id(classId), metaDataIndex, description.token,
                    static_cast<DWORD>(position));
    }
    return position;
}

void ClassGatherer::CompleteRecord(INT32 parentField, const ClassDescription& description) {
    // Nested collections run with no lock held; they may append records of their own.
    const INT32 parentPosition = CollectClassId(description.parent);
    std::vector<INT32> argumentPositions;
    argumentPositions.reserve(description.typeArgs.size());
    for (ClassID argument : description.typeArgs) {
        argumentPositions.push_back(CollectClassId(argument));
    }

    SpinLockGuard fileGuard(m_FileLock);
    if (!m_pDataFile) {
        throw std::runtime_error("File is closed");
    }
    FileBridgeStream& data = *m_pDataFile;
    const INT32 end = data.Tell();
    try {
        data.Seek(ISeekBridgeStream::SeekBegin, parentField);
        WriteI64(data, parentPosition);
        WriteSizeTAsUInt16(data, argumentPositions.size());
        for (INT32 argumentPosition : argumentPositions) {
            WriteI64(data, argumentPosition);
        }
        data.Seek(ISeekBridgeStream::SeekBegin, end);
    } catch (...) {
        SeekBackQuietly(data, end);
        throw;
    }
}

void ClassGatherer::Write(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot) {
    if (IsLogging()) {
        Log::Message("CG::Write");
    }
    pProgress->Begin(5);
    {
        // Held across both sections, so that the count and the index file match the data file.
        SpinLockGuard fileGuard(m_FileLock);
        if (!m_pDataFile || !m_pIndexFile) {
            throw std::runtime_error("File is closed");
        }
        IWriteSeekBridgeStream* pSection = pSnapshot->CreateSection();
        {
            ChildProgressIndicator child(*pProgress, 4);
            CopyFile(child, *m_pDataFile, *pSection);
        }
        pSnapshot->CloseSection(pSection, DataSectionType, 0);

        pSection = pSnapshot->CreateSection();
        WriteU32(*pSection, m_ClassCount);
        {
            ChildProgressIndicator child(*pProgress, 1);
            CopyFile(child, *m_pIndexFile, *pSection);
        }
        pSnapshot->CloseSection(pSection, IndexSectionType, 0);
    }
    pProgress->End();
}

void ClassGatherer::CopyFile(BaseProgressIndicator& progress, FileBridgeStream& file,
                             IWriteSeekBridgeStream& section) {
    const INT32 end = file.Tell();
    try {
        file.Seek(ISeekBridgeStream::SeekBegin, 0);
        CopyStream(&progress, &file, &section, static_cast<uint64_t>(end));
        file.Seek(ISeekBridgeStream::SeekBegin, end);
    } catch (...) {
        SeekBackQuietly(file, end);
        throw;
    }
}
