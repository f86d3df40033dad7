// One entry of a PE image's section table, decoded field by field from its 40 bytes.
#pragma once

#include "Platform/Types.h"

struct ImageSectionHeader {
    static constexpr size_t Size = 40;

    BYTE Name[8] = {};
    DWORD VirtualSize = 0;
    DWORD VirtualAddress = 0;
    DWORD SizeOfRawData = 0;
    DWORD PointerToRawData = 0;
    DWORD PointerToRelocations = 0;
    DWORD PointerToLinenumbers = 0;
    WORD NumberOfRelocations = 0;
    WORD NumberOfLinenumbers = 0;
    DWORD Characteristics = 0;
};
