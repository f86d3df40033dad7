// A function gatherer with a fixed naming rule, for call-tree writers' tests and benchmarks: fuid f
// is metadata index f & 0xFF and token 0x06000000 + f, and metadata indexes are `indexBytes` wide.
#pragma once

#include "Profiler/FunctionGatherer.h"
#include "Profiler/PermanentFunctionData.h"

class FixedFunctionGatherer : public FunctionGatherer {
public:
    explicit FixedFunctionGatherer(BYTE indexBytes = 1)
        : FunctionGatherer(nullptr), m_IndexBytes(indexBytes) {}

    static PermanentFunctionData DataOf(DWORD fuid) { return {fuid & 0xFF, 0x06000000 + fuid}; }

    BYTE GetIndexByteCount() override { return m_IndexBytes; }
    void GetFunctionData(DWORD fuid, PermanentFunctionData& data) override {
        ++m_Lookups;
        data = DataOf(fuid);
    }

    int m_Lookups = 0;

private:
    BYTE m_IndexBytes;
};
