// Reads a snapshot that the device wrote as files: an index file listing the sections and data
// files beside it ("<index>.0000", "<index>.0001", ...) holding their bytes back to back in index
// order. Nothing in the files is trusted: every count, size and file length is checked.
#pragma once

#include <cstdint>
#include <string>

#include "Controller/Snapshot.h"

namespace Controller {

class FileSnapshotReader {
public:
    static constexpr uint16_t IndexMagic = 0x464D;
    static constexpr uint16_t EndMarker = 0xFFFF;
    static constexpr size_t RecordSize = 14;
    // An index file beyond this size is refused unread.
    static constexpr size_t MaxIndexSize = 64 * 1024 * 1024;

    enum class Storage {
        Copy,  // the sections' bytes are read into memory of their own
        // The data files are mapped and the sections are views of them, without a copy. Only for
        // files nobody changes while the snapshot lives (a file cut short under a mapping faults
        // on access): the caller removes them at once, and their writer has closed them.
        Map,
    };

    // The sections in index order, origin FileStorage, complete. The identity fields other than
    // the magic are the caller's to fill in. Raises std::runtime_error naming the file and fault.
    static Snapshot Read(const std::string& indexPath, int64_t maxSectionSize,
                         Storage storage = Storage::Copy);

    // "<index>.%04X".
    static std::string DataFilePath(const std::string& indexPath, uint16_t number);

    // Deletes the index file and its data files (numbered from 0 up to the first one missing).
    static void Remove(const std::string& indexPath);
};

}  // namespace Controller
