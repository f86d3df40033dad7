#include "Bridge/BridgeSnapShotStorage.h"

#include <stdexcept>
#include <utility>

#include "Util/CatchAtEdge.h"
#include "Util/SpinLockGuard.h"

BridgeSnapShotStorage::~BridgeSnapShotStorage() {
    LogEdgeFailure([this] { Abort(); });
}

void BridgeSnapShotStorage::Create(IBridgeControl* pControl, DWORD magic, DWORD snapshotIndex,
                                   const GUID& sequence, DWORD sequenceNumber) {
    if (pControl == nullptr) {
        throw std::runtime_error("Invalid argument");
    }
    m_pControl = pControl;
    m_SnapshotIndex = snapshotIndex;
    m_Sequence = sequence;
    m_SequenceNumber = sequenceNumber;
    try {
        m_pControl->SnapShotBridgeCreate(magic);
    } catch (...) {
        LogEdgeFailure([this] { Abort(); });
        throw;
    }
}

IWriteSeekBridgeStream* BridgeSnapShotStorage::CreateSection() {
    if (m_pControl == nullptr) {
        throw std::runtime_error("Snapshot is not created");
    }
    const WORD handle = m_pControl->SnapShotBridgeCreateSection();
    auto pSection = std::make_unique<BridgeSectionStream>(m_pControl, handle);
    BridgeSectionStream* pResult = pSection.get();
    SpinLockGuard guard(m_SectionsLock);
    m_Sections.push_back(std::move(pSection));
    return pResult;
}

void BridgeSnapShotStorage::CloseSection(IWriteSeekBridgeStream* pSection, WORD type,
                                         WORD version) {
    BridgeSectionStream* pFound = nullptr;
    {
        SpinLockGuard guard(m_SectionsLock);
        for (const auto& pOwned : m_Sections) {
            if (pOwned.get() == pSection) {
                pFound = pOwned.get();
                break;
            }
        }
    }
    if (pFound == nullptr) {
        throw std::runtime_error("Wrong section to close");
    }
    // The collected bytes precede the close; only this section's writer calls this, so the
    // stream stays ours while the lock is not held.
    pFound->Flush();
    std::unique_ptr<BridgeSectionStream> pOwned;
    {
        SpinLockGuard guard(m_SectionsLock);
        for (auto it = m_Sections.begin(); it != m_Sections.end(); ++it) {
            if (it->get() == pFound) {
                pOwned = std::move(*it);
                m_Sections.erase(it);
                break;
            }
        }
    }
    if (pOwned == nullptr) {
        throw std::runtime_error("Wrong section to close");
    }
    m_pControl->SnapShotBridgeCloseSection(pOwned->GetHandle(), type, version);
}

void BridgeSnapShotStorage::Close() {
    if (m_pControl == nullptr) {
        throw std::runtime_error("Snapshot is not created");
    }
    const DWORD snapshotIndex = m_SnapshotIndex;
    const GUID sequence = std::exchange(m_Sequence, GUID{});
    const DWORD sequenceNumber = std::exchange(m_SequenceNumber, 0);
    m_pControl->SnapShotBridgeClose(snapshotIndex, sequence, sequenceNumber);
    m_pControl = nullptr;
}

void BridgeSnapShotStorage::Abort() {
    if (IBridgeControl* pControl = std::exchange(m_pControl, nullptr)) {
        pControl->SnapShotBridgeAbort();
    }
}
