// The host's hand-over point for the profiler's callback object. Called by slot.
#pragma once

#include "Platform/Cor/CorProfiler.h"

struct IPALProfilerHost : IUnknown {
    // Slot 3.
    virtual HRESULT STDMETHODCALLTYPE SetProfilerCallback(ICorProfilerCallback2* pCallback) = 0;
};

// {8B746C77-A1C2-4C79-91E6-3FCA13322A73}
constexpr IID IID_IPALProfilerHost = {0x8B746C77, 0xA1C2, 0x4C79,
                                      {0x91, 0xE6, 0x3F, 0xCA, 0x13, 0x32, 0x2A, 0x73}};
