#include "Controller/PerformanceHeaderSection.h"

#include <string>

#include "Controller/SectionCursor.h"
#include "Controller/SectionTypes.h"

namespace Controller {

PerformanceHeader ReadPerformanceHeaderSection(const SnapshotSection& section) {
    SectionCursor cursor(section.bytes, PerformanceHeaderSectionType);
    if (section.version != 0) {
        cursor.Fail("layout version " + std::to_string(section.version) + "; expected 0");
    }
    PerformanceHeader header;
    header.frequency = cursor.ReadU64();
    if (header.frequency == 0) {
        cursor.FailAt(0, "timer frequency 0");
    }
    if (cursor.GetRemaining() != 0) {
        cursor.Fail(std::to_string(cursor.GetRemaining()) + " bytes after the timer frequency");
    }
    return header;
}

}  // namespace Controller
