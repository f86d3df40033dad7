// The section types a heap_fuzz input can name, by index (see HeapFuzz.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t HeapFuzzTypes[] = {0x200,  0x201,  0x100,  0x3100, 0x3101,
                                             0x3102, 0x3103, 0x3104, 0x3105, 0x3106,
                                             0x3107, 0x3109, 0x3110, 0x3111, 0x3112};
inline constexpr size_t HeapFuzzTypeCount = sizeof(HeapFuzzTypes) / sizeof(HeapFuzzTypes[0]);
