#include "support/ScriptedMeasureSink.h"

#include <memory>
#include <stdexcept>

#include "Bridge/BridgeSnapShotStorage.h"
#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/IMeasureBridgeControl.h"
#include "ProgressIndicator/BridgeProgressIndicator.h"
#include "Util/CatchAtEdge.h"

namespace {

constexpr DWORD PERFORMANCE_MAGIC = 0x46505651;  // "QVPF"
// {6B1D4C2A-93E7-4F08-A5B6-0C1D2E3F4051}
constexpr GUID SEQUENCE = {
    0x6B1D4C2A, 0x93E7, 0x4F08, {0xA5, 0xB6, 0x0C, 0x1D, 0x2E, 0x3F, 0x40, 0x51}};
// A metadata blob needs only its signature and version for the section layout.
constexpr BYTE METADATA_BLOB[] = {'B', 'S', 'J', 'B', 0x01, 0x00, 0x01, 0x00};

IMeasureBridgeControl& MeasureControl(IBridgeControl* pControl) {
    auto* pMeasure = dynamic_cast<IMeasureBridgeControl*>(pControl);
    if (pMeasure == nullptr) {
        throw std::runtime_error("No measure command processor");
    }
    return *pMeasure;
}

}  // namespace

template <class Body>
void ScriptedMeasureSink::Run(Body&& body) {
    if (!LogEdgeFailure([&] {
            if (m_pBridge == nullptr) {
                throw std::runtime_error("The scripted sink has no bridge");
            }
            body(m_pBridge->GetControl());
        })) {
        ++m_CallsFailed;
    }
    ++m_CallsEnded;
    CallEnded();
}

void ScriptedMeasureSink::BridgeStart() {
    Run([](IBridgeControl* pControl) { MeasureControl(pControl).Started(); });
}

void ScriptedMeasureSink::BridgeStopDrop() {
    Run([](IBridgeControl* pControl) { MeasureControl(pControl).Stopped(); });
}

void ScriptedMeasureSink::BridgeStopSave() {
    Run([this](IBridgeControl* pControl) {
        WriteSnapshot(pControl);
        MeasureControl(pControl).Stopped();
    });
}

void ScriptedMeasureSink::WriteSnapshot(IBridgeControl* pControl) {
    std::unique_ptr<ISnapShotStorage> pStorage = m_pBridge->CreateSnapShotStorage();
    if (dynamic_cast<BridgeSnapShotStorage*>(pStorage.get()) == nullptr) {
        throw std::runtime_error("The scripted sink streams its snapshots over the bridge only");
    }
    BridgeProgressIndicator progress(pControl, IBridgeControl::OperationWriteSnapshot);
    progress.Begin(4);
    const DWORD index = static_cast<DWORD>(m_SnapshotsClosed.load());
    pStorage->Create(pControl, PERFORMANCE_MAGIC, index, SEQUENCE, index + 1);
    WriteHeaderSection(*pStorage);
    progress.Step(1);
    WriteMetaDataSection(*pStorage);
    progress.Step(1);
    WriteModulePathSection(*pStorage);
    progress.Step(1);
    WriteClassSections(*pStorage);
    progress.Step(1);
    pStorage->Close();
    ++m_SnapshotsClosed;
}

// A count known only at the end, patched in through a tell and two seeks.
void ScriptedMeasureSink::WriteHeaderSection(ISnapShotStorage& storage) {
    IWriteSeekBridgeStream* pSection = storage.CreateSection();
    WriteU32(*pSection, 0);
    WriteU32(*pSection, 0xCAFE);
    const int32_t end = pSection->Tell();
    pSection->Seek(ISeekBridgeStream::SeekBegin, 0);
    WriteU32(*pSection, static_cast<uint32_t>(end));
    pSection->Seek(ISeekBridgeStream::SeekEnd, 0);
    WriteU16(*pSection, 0);
    storage.CloseSection(pSection, HeaderSectionType, 0);
}

void ScriptedMeasureSink::WriteMetaDataSection(ISnapShotStorage& storage) {
    IWriteSeekBridgeStream* pSection = storage.CreateSection();
    WriteU32(*pSection, 1);  // records
    WriteU32(*pSection, 1);  // metadata index
    WriteSizeTAsUInt32(*pSection, sizeof(METADATA_BLOB));
    pSection->Write(METADATA_BLOB, sizeof(METADATA_BLOB));
    storage.CloseSection(pSection, MetaDataSectionType, 0);
}

void ScriptedMeasureSink::WriteModulePathSection(ISnapShotStorage& storage) {
    IWriteSeekBridgeStream* pSection = storage.CreateSection();
    WriteU8(*pSection, 1);   // index width
    WriteU32(*pSection, 1);  // entries
    WriteU8(*pSection, 1);   // metadata index
    WriteU16(*pSection, 1);  // paths
    WriteString(*pSection, ModulePath);
    storage.CloseSection(pSection, ModulePathSectionType, 0);
}

// A class (no parent, no type arguments) and a generic instantiation whose parent and only type
// argument are that class; the index lists both record positions.
void ScriptedMeasureSink::WriteClassSections(ISnapShotStorage& storage) {
    IWriteSeekBridgeStream* pData = storage.CreateSection();
    for (const uint32_t token : {0x02000002u, 0x02000003u}) {
        const bool generic = token == 0x02000003u;
        WriteU32(*pData, 1);  // metadata index
        WriteU32(*pData, token);
        WriteU32(*pData, 0);  // rank
        WriteI64(*pData, generic ? 0 : -1);
        WriteU16(*pData, generic ? 1 : 0);
        if (generic) {
            WriteI64(*pData, 0);
        }
    }
    storage.CloseSection(pData, ClassDataSectionType, 0);

    IWriteSeekBridgeStream* pIndex = storage.CreateSection();
    WriteU32(*pIndex, 2);
    WriteI64(*pIndex, 0);
    WriteI64(*pIndex, GenericClassPosition);
    storage.CloseSection(pIndex, ClassIndexSectionType, 0);
}
