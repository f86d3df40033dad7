#include "Profiler/ModulePathGatherer.h"

#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/ISnapShotStorage.h"
#include "Profiler/MetaDataGatherer.h"
#include "ProgressIndicator/BaseProgressIndicator.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr ULONG ModuleNameCapacity = 4096;
constexpr WORD ModulePathSectionType = 0x110;
constexpr WORD ModulePathSectionVersion = 0;

bool IsLogging() noexcept {
    return Log::IsEnabled(LogComponent::ModulePathGt);
}

// The low `width` bytes of the index, least significant first.
void WriteIndex(IWriteBridgeStream& stream, DWORD index, BYTE width) {
    switch (width) {
        case 1:
            WriteU8(stream, static_cast<uint8_t>(index));
            break;
        case 2:
            WriteU16(stream, static_cast<uint16_t>(index));
            break;
        case 3:
            WriteU16(stream, static_cast<uint16_t>(index));
            WriteU8(stream, static_cast<uint8_t>(index >> 16));
            break;
        default:
            WriteU32(stream, index);
            break;
    }
}

}  // namespace

ModulePathGatherer::ModulePathGatherer(MetaDataGatherer* pMetaData) : m_pMetaData(pMetaData) {}

void ModulePathGatherer::Create(ICorProfilerInfo* pInfo) {
    if (IsLogging()) {
        Log::Message("MPG::Create");
    }
    if (pInfo == nullptr) {
        throw std::runtime_error("Invalid profiler info interface");
    }
    m_pInfo = pInfo;
}

void ModulePathGatherer::Close() {
    if (IsLogging()) {
        Log::Message("MPG::Close");
    }
    m_pInfo = nullptr;
}

void ModulePathGatherer::LoadModule(ModuleID moduleId) {
    if (IsLogging()) {
        Log::Format("MPG::LoadModule mid=%p", reinterpret_cast<void*>(moduleId));
    }
    const DWORD index = m_pMetaData->GetMetaDataIndex(moduleId);
    if (index == 0) {
        return;
    }
    WCHAR name[ModuleNameCapacity];
    name[0] = 0;
    const HRESULT hr =
        m_pInfo->GetModuleInfo(moduleId, nullptr, ModuleNameCapacity, nullptr, name, nullptr);
    if (FAILED(hr)) {
        throw _hr_error("Can't get module info", hr);
    }
    name[ModuleNameCapacity - 1] = 0;
    if (name[0] == 0) {
        return;
    }
    WString path(name);
    SpinLockGuard guard(m_Lock);
    m_Paths[index].insert(std::move(path));
}

void ModulePathGatherer::Write(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot) {
    // A copy, so that loads on runtime threads never wait for the section's writes.
    PathMap paths;
    {
        SpinLockGuard guard(m_Lock);
        paths = m_Paths;
    }
    pProgress->Begin(static_cast<DWORD>(paths.size()));
    // Asked after the copy: every index in it was handed out before, so it fits the width.
    const BYTE width = m_pMetaData->GetIndexByteCount();

    IWriteSeekBridgeStream* pSection = pSnapshot->CreateSection();
    WriteU8(*pSection, width);
    WriteSizeTAsUInt32(*pSection, paths.size());
    for (const auto& [index, names] : paths) {
        WriteIndex(*pSection, index, width);
        WriteSizeTAsUInt16(*pSection, names.size());
        for (const WString& name : names) {
            WriteString(*pSection, std::u16string_view(name));
        }
    }
    pSnapshot->CloseSection(pSection, ModulePathSectionType, ModulePathSectionVersion);
    pProgress->End();
}
