// One section of a snapshot data file: a file stream whose positions count from the section's
// start offset, so a section writer sees its section as a stream beginning at 0. Several sections
// follow each other in one data file; measuring the growth closes one and starts the next.
#pragma once

#include <cstdint>

#include "Bridge/FileBridgeStream.h"

class FileSectionStream : public FileBridgeStream {
public:
    explicit FileSectionStream(int64_t startOffset = 0) : m_StartOffset(startOffset) {}
    ~FileSectionStream() override = default;

    // The file position minus the start offset.
    int32_t Tell() override;
    // Origin 0 counts from the start offset, 1 from the current position, 2 from the file's end;
    // another origin raises "Invalid origin", a target before the start offset "Invalid offset".
    void Seek(int32_t origin, int32_t offset) override;

    int64_t GetStartOffset() const { return m_StartOffset; }

    // The bytes added from the start offset to the file's end since the last measurement; the end
    // becomes the new start offset. Leaves the file positioned at its end.
    int64_t MeasureGrowth();

private:
    int64_t m_StartOffset;
};
