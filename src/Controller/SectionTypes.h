// The types of the sections a snapshot carries, as the controller reads them.
#pragma once

#include <cstdint>

namespace Controller {

constexpr uint16_t EnvironmentSectionType = 0;
constexpr uint16_t MetaDataSectionType = 0x100;
constexpr uint16_t ModulePathSectionType = 0x110;
constexpr uint16_t ClassDataSectionType = 0x200;
constexpr uint16_t ClassIndexSectionType = 0x201;

}  // namespace Controller
