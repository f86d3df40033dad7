// One switch of measuring (start, stop, flush, a thread joining or leaving): the stamp taken once
// by the caller, whether every thread record shares it, and the internal-time cells the switch
// handed back, to which the caller adds the time it spent switching.
#pragma once

#include <vector>

#include "Platform/Types.h"

struct MeasureTime {
    DWORD m_Kind = 0;
    UINT64 m_Stamp = 0;
    // True for the performance counter and the time-stamp counter. Thread time is per thread:
    // each record then reads its own thread's user time instead of the stamp.
    bool m_CommonStamp = true;
    std::vector<UINT64*> m_Cells;
};
