#include "Controller/ClassTable.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/SpanReadStream.h"

namespace Controller {

namespace {

constexpr size_t RecordHeaderSize = 22;  // index, token, rank, parent, type argument count
constexpr uint16_t CountPlaceholder = 0xFFFF;
constexpr uint64_t ParentOffset = 12;  // the parent field, where the placeholders begin

std::string PositionText(int64_t position) {
    return std::to_string(position);
}

ClassRecord ReadRecord(const SnapshotSection& dataSection, int64_t position) {
    const SectionBytes& bytes = dataSection.bytes;
    if (position < 0 || static_cast<uint64_t>(position) >= bytes.size()) {
        throw std::runtime_error("Class index lists position " + PositionText(position) +
                                 " outside the class data (" + std::to_string(bytes.size()) +
                                 " bytes)");
    }
    SpanReadStream stream(bytes.data() + position, bytes.size() - position,
                          "Class record at position " + PositionText(position) + " is cut short");
    ClassRecord record;
    record.position = position;
    record.metadataIndex = ReadU32(stream);
    record.token = ReadU32(stream);
    record.rank = ReadU32(stream);
    record.parent = ReadI64(stream);
    const uint16_t count = ReadU16(stream);
    if (count == CountPlaceholder) {
        // Its argument slots are measured once the next record's start is known.
        record.incomplete = true;
        return record;
    }
    record.typeArguments.resize(count);
    for (int64_t& argument : record.typeArguments) {
        argument = ReadI64(stream);
    }
    return record;
}

// An unfinished record runs from `position` to `end`: its header, then one placeholder per type
// argument; every placeholder byte (parent, count, arguments) is 0xFF.
void CheckPlaceholders(const SectionBytes& bytes, int64_t position, uint64_t end) {
    const uint64_t start = static_cast<uint64_t>(position);
    const bool sized = end >= start + RecordHeaderSize && (end - start - RecordHeaderSize) % 8 == 0;
    const bool filled =
        sized && std::all_of(bytes.begin() + static_cast<ptrdiff_t>(start + ParentOffset),
                             bytes.begin() + static_cast<ptrdiff_t>(end),
                             [](BYTE b) { return b == 0xFF; });
    if (!filled) {
        throw std::runtime_error("Class record at position " + PositionText(position) +
                                 " is unfinished but its placeholders are damaged");
    }
}

}  // namespace

ClassTable ClassTable::Read(const SnapshotSection& dataSection,
                            const SnapshotSection& indexSection) {
    SpanReadStream index(indexSection.bytes.data(), indexSection.bytes.size(),
                         "Class index section is cut short");
    const uint32_t count = ReadU32(index);
    if (index.GetRemaining() != static_cast<uint64_t>(count) * 8) {
        throw std::runtime_error("Class index section announces " + std::to_string(count) +
                                 " records but holds " + std::to_string(index.GetRemaining()) +
                                 " bytes of positions");
    }
    ClassTable table;
    table.m_Records.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t position = ReadI64(index);
        if (table.m_ByPosition.count(position) != 0) {
            throw std::runtime_error("Class index lists position " + PositionText(position) +
                                     " twice");
        }
        table.m_Records.push_back(ReadRecord(dataSection, position));
        table.m_ByPosition.emplace(position, table.m_Records.size() - 1);
    }
    // Records are appended back to back: in position order each starts where the one before it
    // ends, and the last ends with the section. Anything else is a position inside a record.
    const SectionBytes& bytes = dataSection.bytes;
    uint64_t expected = 0;
    for (auto it = table.m_ByPosition.begin(); it != table.m_ByPosition.end(); ++it) {
        const auto [position, slot] = *it;
        if (static_cast<uint64_t>(position) != expected) {
            throw std::runtime_error("Class index position " + PositionText(position) +
                                     " is not where a record starts (expected " +
                                     std::to_string(expected) + ")");
        }
        const ClassRecord& record = table.m_Records[slot];
        if (record.incomplete) {
            const auto next = std::next(it);
            const uint64_t end =
                next == table.m_ByPosition.end() ? bytes.size() : static_cast<uint64_t>(next->first);
            CheckPlaceholders(bytes, position, end);
            expected = end;
        } else {
            expected += RecordHeaderSize + 8 * record.typeArguments.size();
        }
    }
    if (expected != bytes.size()) {
        throw std::runtime_error("Class records cover " + std::to_string(expected) +
                                 " bytes of a class data section of " +
                                 std::to_string(bytes.size()));
    }
    return table;
}

const ClassRecord* ClassTable::Find(int64_t position) const {
    const auto found = m_ByPosition.find(position);
    return found == m_ByPosition.end() ? nullptr : &m_Records[found->second];
}

}  // namespace Controller
