#include "Controller/ClassNamer.h"

#include <algorithm>

namespace Controller {

namespace {

// The runtime allows ranks up to 32; a larger one in a damaged file is shown as a number rather
// than as billions of commas.
constexpr uint32_t MaxShownRank = 32;

std::string Brackets(uint32_t rank) {
    if (rank > MaxShownRank) {
        return "[rank " + std::to_string(rank) + "]";
    }
    return "[" + std::string(rank - 1, ',') + "]";
}

}  // namespace

ClassNamer::ClassNamer(const ClassTable& classes, const MetaDataNameResolver& names)
    : m_Classes(classes), m_Names(names) {}

std::string ClassNamer::Name(int64_t position) const {
    std::vector<int64_t> active;
    return Name(position, active);
}

std::string ClassNamer::Name(int64_t position, std::vector<int64_t>& active) const {
    if (position == -1) {
        return "[no class]";
    }
    const ClassRecord* pRecord = m_Classes.Find(position);
    if (pRecord == nullptr) {
        return "[class position " + std::to_string(position) + "]";
    }
    // Records may refer to each other in a loop; a name already being built stops the descent.
    if (std::find(active.begin(), active.end(), position) != active.end()) {
        return "...";
    }
    active.push_back(position);
    std::string name;
    if (pRecord->incomplete) {
        name = Incomplete(*pRecord);
    } else if (pRecord->IsArray()) {
        name = Name(pRecord->parent, active) + Brackets(pRecord->rank);
    } else {
        name = Definition(*pRecord, active);
    }
    active.pop_back();
    return name;
}

// What a record caught mid-write still tells: an array's rank, a class's own definition.
std::string ClassNamer::Incomplete(const ClassRecord& record) const {
    if (record.IsArray()) {
        return "[incomplete class]" + Brackets(record.rank);
    }
    if (record.token == ClassRecord::NoToken) {
        return "[incomplete class]";
    }
    return m_Names.TypeName(record.metadataIndex, record.token) + " [incomplete]";
}

std::string ClassNamer::Definition(const ClassRecord& record, std::vector<int64_t>& active) const {
    if (record.metadataIndex == 0 && record.token == ClassRecord::NoToken) {
        return "[undescribed class]";
    }
    if (record.typeArguments.empty()) {
        return m_Names.TypeName(record.metadataIndex, record.token);
    }
    std::string name = m_Names.TypeNameWithoutArity(record.metadataIndex, record.token) + "<";
    for (size_t i = 0; i < record.typeArguments.size(); ++i) {
        if (i > 0) {
            name += ",";
        }
        name += Name(record.typeArguments[i], active);
    }
    return name + ">";
}

}  // namespace Controller
