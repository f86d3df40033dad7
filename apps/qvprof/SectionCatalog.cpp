#include "SectionCatalog.h"

namespace Qvprof {

namespace {

struct SectionName {
    uint16_t type;
    const char* pName;
};

constexpr SectionName Names[] = {
    {0x0000, "environment record"},
    {0x0100, "metadata"},
    {0x0110, "module paths"},
    {0x0200, "class records"},
    {0x0201, "class index"},
    {0x1000, "performance header"},
    {0x1100, "call tree nodes"},
    {0x1101, "call tree aggregates"},
    {0x1102, "call tree aggregate index"},
    {0x1103, "call tree single-node functions"},
    {0x1105, "call tree node metadata"},
    {0x3100, "collection start"},
    {0x3101, "heaps at collection start"},
    {0x3102, "heaps at collection end"},
    {0x3103, "moved ranges"},
    {0x3104, "surviving ranges"},
    {0x3105, "objects and references"},
    {0x3106, "finalizer queue"},
    {0x3107, "roots"},
    {0x3109, "object details"},
    {0x3110, "field records"},
    {0x3111, "sampled allocations"},
    {0x3112, "allocation stacks"},
};

}  // namespace

std::string SectionCatalog::Describe(uint16_t type) {
    for (const SectionName& name : Names) {
        if (name.type == type) {
            return name.pName;
        }
    }
    return "unknown section";
}

}  // namespace Qvprof
