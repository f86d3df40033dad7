#include "Profiler/Memory/MemoryClientInfo.h"

#include "Bridge/BaseBridge.h"
#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/IMemoryBridgeEvent.h"
#include "CommandProcessor/MemoryCommandProcessor.h"
#include "Util/Log.h"

std::unique_ptr<CommandProcessor> MemoryClientInfo::CreateCommandProcessor(BaseBridge* pBridge,
                                                                           IBridgeEvent* pEvent,
                                                                           DWORD controlKind,
                                                                           DWORD snapshotType) {
    auto* pMemoryEvent = dynamic_cast<IMemoryBridgeEvent*>(pEvent);
    if (pMemoryEvent == nullptr) {
        return nullptr;
    }
    return std::make_unique<MemoryCommandProcessor>(pBridge, pMemoryEvent, controlKind,
                                                    snapshotType);
}

void MemoryClientInfo::ReadSettings(IReadBridgeStream& stream) {
    m_SnapshotAtStart = ReadBool(stream);
    m_AllocationsFactor = ReadU32(stream);
    m_Flag3 = ReadBool(stream);
    m_TrackFinalizers = ReadBool(stream);
    m_Flag5 = ReadBool(stream);
    if (Log::IsEnabled(LogComponent::Bridge)) {
        Log::Format("MProf::ReadSettings start=%d factor=%u finalizers=%d", m_SnapshotAtStart,
                    m_AllocationsFactor, m_TrackFinalizers);
    }
}
