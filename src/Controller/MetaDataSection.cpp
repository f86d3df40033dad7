#include "Controller/MetaDataSection.h"

#include <set>
#include <stdexcept>
#include <string>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/SpanReadStream.h"

namespace Controller {

std::vector<MetaDataRecord> ReadMetaDataSection(const SnapshotSection& section) {
    SpanReadStream stream(section.bytes.data(), section.bytes.size(),
                          "Metadata section is cut short");
    const uint32_t count = ReadU32(stream);
    // Each record takes at least its 8-byte header: a count beyond that cannot be honest.
    if (count > stream.GetRemaining() / 8) {
        throw std::runtime_error("Metadata section announces " + std::to_string(count) +
                                 " records but holds at most " +
                                 std::to_string(stream.GetRemaining() / 8));
    }
    std::vector<MetaDataRecord> records(count);
    std::set<uint32_t> seen;
    for (MetaDataRecord& record : records) {
        record.index = ReadU32(stream);
        const uint32_t size = ReadU32(stream);
        if (size > stream.GetRemaining()) {
            throw std::runtime_error("Metadata section is cut short in the blob of index " +
                                     std::to_string(record.index));
        }
        if (record.index == 0 || !seen.insert(record.index).second) {
            throw std::runtime_error("Metadata section lists invalid or repeated index " +
                                     std::to_string(record.index));
        }
        record.blob.resize(size);
        stream.Read(record.blob.data(), size);
    }
    if (stream.GetRemaining() != 0) {
        throw std::runtime_error("Metadata section has " + std::to_string(stream.GetRemaining()) +
                                 " bytes after its last record");
    }
    return records;
}

}  // namespace Controller
