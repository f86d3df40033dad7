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

// Memory snapshots: per collection its start, the heaps at its start and end, the ranges that moved
// or survived, and for a heap dump the objects, their details, the roots and the field records;
// between collections the sampled allocations, whose stacks fill one section per snapshot.
constexpr uint16_t CollectionStartSectionType = 0x3100;
constexpr uint16_t HeapsAtStartSectionType = 0x3101;
constexpr uint16_t HeapsAtEndSectionType = 0x3102;
constexpr uint16_t MovedRangesSectionType = 0x3103;
constexpr uint16_t SurvivingRangesSectionType = 0x3104;
constexpr uint16_t ObjectsSectionType = 0x3105;
constexpr uint16_t FinalizerQueueSectionType = 0x3106;
constexpr uint16_t RootsSectionType = 0x3107;
constexpr uint16_t ObjectDetailsSectionType = 0x3109;
constexpr uint16_t FieldRecordsSectionType = 0x3110;
constexpr uint16_t SampledAllocationsSectionType = 0x3111;
constexpr uint16_t AllocationStacksSectionType = 0x3112;

}  // namespace Controller
