// What each section type of a snapshot holds, in words for reports.
#pragma once

#include <cstdint>
#include <string>

namespace Qvprof {

class SectionCatalog {
public:
    // "metadata", "call tree nodes", ...; "unknown section" for a type without a name.
    static std::string Describe(uint16_t type);
};

}  // namespace Qvprof
