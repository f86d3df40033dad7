#include "Controller/PerformanceSnapshot.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <string>

#include "Controller/CallTreeReader.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SectionTypes.h"

namespace Controller {

namespace {

constexpr uint16_t GroupTypes[] = {CallTreeSectionType, CallTreeAggregateSectionType,
                                   CallTreeFunctionSectionType, CallTreeSingleSectionType,
                                   CallTreePositionSectionType};
constexpr size_t GroupSize = std::size(GroupTypes);

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

bool IsCallTreeSection(const SnapshotSection& section) {
    for (uint16_t type : GroupTypes) {
        if (section.closed && section.type == type) {
            return true;
        }
    }
    return false;
}

// True when the sections from `first` are a whole group; otherwise the text says what breaks it.
bool IsWholeGroup(const Snapshot& snapshot, size_t first, std::string& fault) {
    for (size_t i = 1; i < GroupSize; ++i) {
        const size_t at = first + i;
        if (at >= snapshot.sections.size()) {
            fault = "the snapshot ends before section " + Hex(GroupTypes[i], 4);
            return false;
        }
        const SnapshotSection& section = snapshot.sections[at];
        if (!section.closed || section.type != GroupTypes[i]) {
            fault = "snapshot section " + std::to_string(at) + " is " +
                    (section.closed ? Hex(section.type, 4) : std::string("unclosed")) + " where " +
                    Hex(GroupTypes[i], 4) + " belongs";
            return false;
        }
    }
    return true;
}

}  // namespace

PerformanceSnapshot ReadPerformanceSnapshot(const Snapshot& snapshot) {
    if (snapshot.magic != PerformanceSnapshotMagic) {
        throw std::runtime_error("Snapshot magic " + Hex(snapshot.magic, 8) +
                                 " is not a performance snapshot's");
    }
    const SnapshotSection* pHeader = snapshot.FindSection(PerformanceHeaderSectionType);
    if (pHeader == nullptr) {
        throw std::runtime_error("Performance snapshot has no header section 0x1000");
    }
    PerformanceSnapshot result;
    result.header = ReadPerformanceHeaderSection(*pHeader);
    const std::vector<SnapshotSection>& sections = snapshot.sections;
    for (size_t i = 0; i < sections.size();) {
        if (!IsCallTreeSection(sections[i])) {
            ++i;
            continue;
        }
        std::string fault;
        if (sections[i].type != CallTreeSectionType || !IsWholeGroup(snapshot, i, fault)) {
            // The tree section is closed last: a tree caught while being written shows as its
            // other sections without one.
            if (snapshot.complete) {
                throw std::runtime_error(
                    "Snapshot section " + std::to_string(i) + " (" + Hex(sections[i].type, 4) +
                    ") belongs to no whole call tree" + (fault.empty() ? "" : ": " + fault));
            }
            ++result.unfinishedSections;
            ++i;
            continue;
        }
        CallTreeSections group{&sections[i], &sections[i + 1], &sections[i + 2], &sections[i + 3],
                               &sections[i + 4]};
        try {
            result.trees.push_back(CallTreeReader::Read(group));
        } catch (const std::exception& e) {
            throw std::runtime_error("Call tree " + std::to_string(result.trees.size() + 1) +
                                     " (snapshot sections " + std::to_string(i) + " to " +
                                     std::to_string(i + GroupSize - 1) + "): " + e.what());
        }
        i += GroupSize;
    }
    return result;
}

}  // namespace Controller
