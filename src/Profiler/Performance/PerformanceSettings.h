// What the controller chose for a performance profiler in the handshake's settings message, in
// wire order.
#pragma once

#include <vector>

#include "Platform/Types.h"
#include "Profiler/Performance/InjectFilterInfo.h"
#include "Profiler/Performance/MeasureKind.h"

struct PerformanceSettings {
    // Open a snapshot and measure from the end of initialisation (manual control only).
    bool m_StartAtInitialize = false;
    // When false the tracing kind asks the runtime not to inline.
    bool m_AllowInlining = true;
    // A u8 on the wire; any value is kept, unknown ones are refused where they are used.
    DWORD m_MeasureKind = MeasureKind::PerformanceCounter;
    // Merge the records of ended threads by name (the thread registry's merge mode 1, else 0).
    bool m_ThreadRegistryOption = false;
    // Precise rather than fast call hooks.
    bool m_Precision = false;
    // The filter block: stored, not consulted.
    DWORD m_FilterValue = 0;
    WString m_FilterText;
    std::vector<InjectFilterInfo> m_FirstFilters;
    std::vector<InjectFilterInfo> m_SecondFilters;
};
