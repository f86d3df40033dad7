// A snapshot written to files on the device: an index file listing the sections and data files
// holding their bytes. Sections open at the same time write separate data files without locks; a
// data file whose section was closed takes the next section, appended. When the snapshot is closed
// the controller is told the index path and fetches the files; a snapshot abandoned before that
// leaves no file behind.
//
// Index file: u16 0x464D, u32 snapshot magic, u32 section count, one 14-byte record per section in
// creation order (u16 type, u16 version, i64 size, u16 data file number), u16 0xFFFF. Data file n
// is the index path followed by ".%04X" of n.
#pragma once

#include <memory>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Bridge/FileSectionStream.h"
#include "Bridge/IBridgeControl.h"
#include "Bridge/ISnapShotStorage.h"
#include "Platform/Types.h"
#include "Util/SpinLock.h"

class FileSnapShotStorage : public ISnapShotStorage {
public:
    static constexpr WORD IndexMagic = 0x464D;
    static constexpr WORD IndexEndMarker = 0xFFFF;
    static constexpr size_t SectionRecordSize = 14;

    FileSnapShotStorage() = default;
    // Aborts: files of a snapshot that was not closed are deleted.
    ~FileSnapShotStorage() override;

    FileSnapShotStorage(const FileSnapShotStorage&) = delete;
    FileSnapShotStorage& operator=(const FileSnapShotStorage&) = delete;

    // Creates the index file under a unique temporary name (prefix "ssc"); the control may be
    // null. A second Create raises "Index file is already created".
    void Create(IBridgeControl* pControl, DWORD magic, DWORD snapshotIndex, const GUID& sequence,
                DWORD sequenceNumber) override;
    IWriteSeekBridgeStream* CreateSection() override;
    // Type 0xFFFF raises "Invalid type value" and leaves the section open.
    void CloseSection(IWriteSeekBridgeStream* pSection, WORD type, WORD version) override;
    // Refuses while a section is open; keeps the files and tells the controller the index path.
    void Close() override;
    // Deletes every file; the controller is not told.
    void Abort() override;

    // Empty before Create and after Close or Abort.
    const WString& GetIndexPath() const { return m_IndexPath; }

private:
    struct DataFile {
        std::unique_ptr<FileSectionStream> m_pStream;
        // Index file offset of the record of the section open in this file; -1 when free.
        int32_t m_RecordPosition;
    };

    WString MakeDataFileName(size_t number) const;
    // Caller holds m_TableLock.
    DataFile& TakeFreeDataFile(size_t* pNumber);
    void DiscardFiles() noexcept;

    IBridgeControl* m_pControl = nullptr;  // null when none
    DWORD m_SnapshotIndex = 0;
    GUID m_Sequence = {};
    DWORD m_SequenceNumber = 0;
    WString m_IndexPath;
    DWORD m_CountPosition = 0;

    // Guards m_SectionCount, m_DataFiles and the index file's position and writes. Taken by
    // CreateSection and CloseSection on any section writer's thread; Close and Abort run after
    // every writer has finished and take no lock.
    SpinLock m_TableLock;
    DWORD m_SectionCount = 0;
    std::unique_ptr<FileBridgeStream> m_pIndex;  // open between Create and Close
    std::vector<DataFile> m_DataFiles;           // position = data file number
};
