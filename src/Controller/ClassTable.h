// The class records of a memory snapshot, read from the class data section and the class index
// section, found by class position (the byte offset of a record in the data section).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "Controller/SnapshotSection.h"

namespace Controller {

struct ClassRecord {
    static constexpr uint32_t NoToken = 0xFE000000;  // arrays and classes without a description

    int64_t position = -1;
    uint32_t metadataIndex = 0;
    uint32_t token = NoToken;
    uint32_t rank = 0;      // above 0 for arrays
    int64_t parent = -1;    // the parent class, or an array's element class; -1 for none
    std::vector<int64_t> typeArguments;
    // The snapshot was taken while the record was being completed: metadata index, token and
    // rank are known, the parent and the type arguments are not.
    bool incomplete = false;

    bool IsArray() const { return rank > 0; }
};

class ClassTable {
public:
    // Reads both sections. Raises std::runtime_error when either is cut short, the index lists a
    // position that is no record start, lists one twice, or its count disagrees with its entries.
    // A record that still holds the placeholders of an unfinished write is kept as incomplete;
    // its length is the distance to the next record. Positions that records refer to are not
    // checked here: Find answers null for them.
    static ClassTable Read(const SnapshotSection& dataSection, const SnapshotSection& indexSection);

    // The record at the position, or null.
    const ClassRecord* Find(int64_t position) const;
    // Records in the order they were written.
    const std::vector<ClassRecord>& Records() const { return m_Records; }

private:
    std::vector<ClassRecord> m_Records;
    std::map<int64_t, size_t> m_ByPosition;
};

}  // namespace Controller
