#include "Profiler/Test/TestProfilerClientInfo.h"

#include "Bridge/BaseBridge.h"
#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/IMeasureBridgeEvent.h"
#include "CommandProcessor/MeasureCommandProcessor.h"
#include "Util/Log.h"

namespace {

// A filter record is three wide strings; the test kinds filter nothing, so they are skipped.
DWORD SkipFilterRecords(IReadBridgeStream& stream) {
    const DWORD count = ReadCounter(stream);
    for (DWORD i = 0; i < count; ++i) {
        ReadWideString(stream);
        ReadWideString(stream);
        ReadWideString(stream);
    }
    return count;
}

}  // namespace

std::unique_ptr<CommandProcessor> TestProfilerClientInfo::CreateCommandProcessor(
    BaseBridge* pBridge, IBridgeEvent* pEvent, DWORD controlKind, DWORD snapshotType) {
    auto* pMeasureEvent = dynamic_cast<IMeasureBridgeEvent*>(pEvent);
    if (pMeasureEvent == nullptr) {
        return nullptr;
    }
    return std::make_unique<MeasureCommandProcessor>(pBridge, pMeasureEvent, controlKind,
                                                     snapshotType);
}

void TestProfilerClientInfo::ReadSettings(IReadBridgeStream& stream) {
    const bool startAtInitialize = ReadBool(stream);
    const bool allowInlining = ReadBool(stream);
    const DWORD measureKind = ReadU8(stream);
    const bool threadOption = ReadBool(stream);
    const bool precision = ReadBool(stream);
    const DWORD filterValue = ReadU32(stream);
    const WString filterText = ReadWideString(stream);
    m_IncludeFilters = SkipFilterRecords(stream);
    m_ExcludeFilters = SkipFilterRecords(stream);
    Log::Format(
        "TProf::ReadSettings start=%d inlining=%d measure=%u threads=%d precision=%d "
        "filter=%08X text='%S' filters=%u/%u",
        startAtInitialize, allowInlining, measureKind, threadOption, precision, filterValue,
        filterText.c_str(), m_IncludeFilters, m_ExcludeFilters);
}
