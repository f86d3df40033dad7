#include "Controller/Snapshot.h"

namespace Controller {

const SnapshotSection* Snapshot::FindSection(uint16_t type) const {
    for (const SnapshotSection& section : sections) {
        if (section.closed && section.type == type) {
            return &section;
        }
    }
    return nullptr;
}

}  // namespace Controller
