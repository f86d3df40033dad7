// The types of the sections a snapshot carries, as the controller reads them.
#pragma once

#include <cstdint>

namespace Controller {

constexpr uint16_t EnvironmentSectionType = 0;
constexpr uint16_t MetaDataSectionType = 0x100;
constexpr uint16_t ModulePathSectionType = 0x110;
constexpr uint16_t ClassDataSectionType = 0x200;
constexpr uint16_t ClassIndexSectionType = 0x201;

// Performance snapshots: the timer frequency, then five sections per written call tree.
constexpr uint16_t PerformanceHeaderSectionType = 0x1000;
constexpr uint16_t CallTreeSectionType = 0x1100;           // T: one record per node
constexpr uint16_t CallTreeAggregateSectionType = 0x1101;  // A: functions with several nodes
constexpr uint16_t CallTreeFunctionSectionType = 0x1102;   // F: where each aggregate lies in A
constexpr uint16_t CallTreeSingleSectionType = 0x1103;     // S: functions with one node
constexpr uint16_t CallTreePositionSectionType = 0x1105;   // P: each node's metadata index

}  // namespace Controller
