#include "Bridge/FileSnapShotStorage.h"

#include <stdexcept>
#include <utility>

#include "Bridge/BridgeStreamHelpers.h"
#include "Platform/FileSystem.h"
#include "Platform/Format.h"
#include "Util/CatchAtEdge.h"
#include "Util/HrError.h"
#include "Util/SpinLockGuard.h"
#include "Util/TempFile.h"

namespace {

constexpr size_t DATA_FILE_NAME_CAPACITY = 260;
// The status a bounded formatter reports for a buffer that is too small.
constexpr HRESULT E_INSUFFICIENT_BUFFER = MakeHResult(0x8007007A);

}  // namespace

FileSnapShotStorage::~FileSnapShotStorage() {
    Abort();
}

void FileSnapShotStorage::Create(IBridgeControl* pControl, DWORD magic, DWORD snapshotIndex,
                                 const GUID& sequence, DWORD sequenceNumber) {
    try {
        // Checked before a name is made, so that a refused Create leaves no stray file.
        if (m_pIndex != nullptr && m_pIndex->IsOpen()) {
            throw std::runtime_error("Index file is already created");
        }
        if (!m_DataFiles.empty()) {
            throw std::runtime_error("Data files storage isn't empty");
        }
        WString path = CreateTempFile(u"ssc");

        m_pControl = pControl;
        m_SnapshotIndex = snapshotIndex;
        m_Sequence = sequence;
        m_SequenceNumber = sequenceNumber;
        m_IndexPath = std::move(path);
        m_SectionCount = 0;

        m_pIndex = std::make_unique<FileBridgeStream>();
        m_pIndex->Create(m_IndexPath, FileBridgeStream::AccessWrite);
        WriteU16(*m_pIndex, IndexMagic);
        WriteU32(*m_pIndex, magic);
        m_CountPosition = static_cast<DWORD>(m_pIndex->Tell());
        WriteU32(*m_pIndex, 0);
    } catch (...) {
        // A name made but never bound to the index stream is not deleted by the stream.
        if (!m_IndexPath.empty() && (m_pIndex == nullptr || !m_pIndex->IsOpen())) {
            Platform::DeleteFile(m_IndexPath);
        }
        Abort();
        throw;
    }
}

WString FileSnapShotStorage::MakeDataFileName(size_t number) const {
    WString name;
    if (!Platform::FormatWide(&name, DATA_FILE_NAME_CAPACITY, "%s.%04X", m_IndexPath.c_str(),
                              static_cast<unsigned>(number))) {
        throw _hr_error("Can't generate data file name", E_INSUFFICIENT_BUFFER);
    }
    return name;
}

FileSnapShotStorage::DataFile& FileSnapShotStorage::TakeFreeDataFile(size_t* pNumber) {
    for (size_t i = 0; i < m_DataFiles.size(); ++i) {
        if (m_DataFiles[i].m_RecordPosition < 0) {
            *pNumber = i;
            return m_DataFiles[i];
        }
    }
    const size_t number = m_DataFiles.size();
    auto pStream = std::make_unique<FileSectionStream>(0);
    pStream->Create(MakeDataFileName(number), FileBridgeStream::AccessWrite);
    m_DataFiles.push_back(DataFile{std::move(pStream), -1});
    *pNumber = number;
    return m_DataFiles.back();
}

IWriteSeekBridgeStream* FileSnapShotStorage::CreateSection() {
    SpinLockGuard guard(m_TableLock);
    if (m_pIndex == nullptr || !m_pIndex->IsOpen()) {
        throw std::runtime_error("Index file is already closed");
    }
    size_t number = 0;
    DataFile& dataFile = TakeFreeDataFile(&number);
    const int32_t recordPosition = m_pIndex->Tell();
    WriteU16(*m_pIndex, 0);
    WriteU16(*m_pIndex, 0);
    WriteI64(*m_pIndex, 0);
    WriteSizeTAsUInt16(*m_pIndex, number);
    dataFile.m_RecordPosition = recordPosition;
    ++m_SectionCount;
    return dataFile.m_pStream.get();
}

void FileSnapShotStorage::CloseSection(IWriteSeekBridgeStream* pSection, WORD type, WORD version) {
    if (type == InvalidSectionType) {
        throw std::runtime_error("Invalid type value");
    }
    SpinLockGuard guard(m_TableLock);
    DataFile* pDataFile = nullptr;
    for (DataFile& dataFile : m_DataFiles) {
        if (static_cast<IWriteSeekBridgeStream*>(dataFile.m_pStream.get()) == pSection &&
            dataFile.m_RecordPosition >= 0) {
            pDataFile = &dataFile;
            break;
        }
    }
    if (pDataFile == nullptr) {
        throw std::runtime_error("Wrong section to close");
    }
    m_pIndex->Seek(ISeekBridgeStream::SeekBegin, pDataFile->m_RecordPosition);
    WriteU16(*m_pIndex, type);
    WriteU16(*m_pIndex, version);
    // The next section of this data file starts where this one ends.
    WriteI64(*m_pIndex, pDataFile->m_pStream->MeasureGrowth());
    m_pIndex->Seek(ISeekBridgeStream::SeekEnd, 0);
    pDataFile->m_RecordPosition = -1;
}

void FileSnapShotStorage::Close() {
    if (m_pIndex == nullptr || !m_pIndex->IsOpen()) {
        throw std::runtime_error("Index file is already closed");
    }
    for (const DataFile& dataFile : m_DataFiles) {
        if (dataFile.m_RecordPosition >= 0) {
            throw std::runtime_error("At least one section isn't closed");
        }
    }
    for (DataFile& dataFile : m_DataFiles) {
        dataFile.m_pStream->Close();
    }
    m_DataFiles.clear();

    WriteU16(*m_pIndex, IndexEndMarker);
    m_pIndex->Seek(ISeekBridgeStream::SeekBegin, static_cast<int32_t>(m_CountPosition));
    WriteSizeTAsUInt32(*m_pIndex, m_SectionCount);
    m_pIndex->Close();

    const WString path = std::exchange(m_IndexPath, WString());
    const GUID sequence = std::exchange(m_Sequence, GUID{});
    const DWORD sequenceNumber = std::exchange(m_SequenceNumber, 0);
    if (IBridgeControl* pControl = std::exchange(m_pControl, nullptr)) {
        pControl->SnapShotCoreDone(path, m_SnapshotIndex, sequence, sequenceNumber);
    }
}

void FileSnapShotStorage::Abort() {
    DiscardFiles();
    m_IndexPath.clear();
    m_pControl = nullptr;
}

void FileSnapShotStorage::DiscardFiles() noexcept {
    // A stream made by Create and never closed deletes its file when it goes.
    m_DataFiles.clear();
    m_pIndex.reset();
}
