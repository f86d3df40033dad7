// Reads the metadata section: one record per module metadata the snapshot refers to, each the
// metadata index and the module's metadata blob.
#pragma once

#include <cstdint>
#include <vector>

#include "Controller/SnapshotSection.h"
#include "Platform/Types.h"

namespace Controller {

struct MetaDataRecord {
    uint32_t index = 0;
    std::vector<BYTE> blob;
};

// Records in section order. Raises std::runtime_error when the section is cut short, carries
// bytes after its last record, uses index 0 or lists one index twice.
std::vector<MetaDataRecord> ReadMetaDataSection(const SnapshotSection& section);

}  // namespace Controller
