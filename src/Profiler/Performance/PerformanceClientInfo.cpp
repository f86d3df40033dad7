#include "Profiler/Performance/PerformanceClientInfo.h"

#include "Bridge/BaseBridge.h"
#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/IMeasureBridgeEvent.h"
#include "CommandProcessor/MeasureCommandProcessor.h"

namespace {

// Each list is cleared first, so a second message replaces the first.
void ReadFilterRecords(IReadBridgeStream& stream, std::vector<InjectFilterInfo>& records) {
    records.clear();
    const DWORD count = ReadCounter(stream);
    for (DWORD i = 0; i < count; ++i) {
        InjectFilterInfo record;
        record.m_First = ReadWideString(stream);
        record.m_Second = ReadWideString(stream);
        record.m_Third = ReadWideString(stream);
        records.push_back(std::move(record));
    }
}

}  // namespace

std::unique_ptr<CommandProcessor> PerformanceClientInfo::CreateCommandProcessor(
    BaseBridge* pBridge, IBridgeEvent* pEvent, DWORD controlKind, DWORD snapshotType) {
    auto* pMeasureEvent = dynamic_cast<IMeasureBridgeEvent*>(pEvent);
    if (pMeasureEvent == nullptr) {
        return nullptr;
    }
    return std::make_unique<MeasureCommandProcessor>(pBridge, pMeasureEvent, controlKind,
                                                     snapshotType);
}

void PerformanceClientInfo::ReadSettings(IReadBridgeStream& stream) {
    m_Settings.m_StartAtInitialize = ReadBool(stream);
    m_Settings.m_AllowInlining = ReadBool(stream);
    m_Settings.m_MeasureKind = ReadU8(stream);
    m_Settings.m_ThreadRegistryOption = ReadBool(stream);
    m_Settings.m_Precision = ReadBool(stream);
    m_Settings.m_FilterValue = ReadU32(stream);
    m_Settings.m_FilterText = ReadWideString(stream);
    ReadFilterRecords(stream, m_Settings.m_FirstFilters);
    ReadFilterRecords(stream, m_Settings.m_SecondFilters);
}
