#include "Bridge/BaseBridge.h"

#include <set>
#include <stdexcept>

#include "Bridge/BridgeSnapShotStorage.h"
#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/FileSnapShotStorage.h"
#include "Platform/Process.h"
#include "Util/Assert.h"
#include "Util/Log.h"

namespace {

bool IsBridgeLogged() {
    return Log::IsEnabled(LogComponent::Bridge);
}

// The environment strings of a block (NUL-terminated strings ended by an empty one), sorted and
// without duplicates.
std::set<WString> EnvironmentStrings(const WCHAR* pBlock) {
    std::set<WString> strings;
    for (const WCHAR* p = pBlock; *p != 0;) {
        WString entry(p);
        p += entry.size() + 1;
        strings.insert(std::move(entry));
    }
    return strings;
}

// The platform supplies an empty environment block, as the device does: environment variables
// often carry secrets, and none leaves the process.
const WCHAR EMPTY_ENVIRONMENT_BLOCK[] = {0};

const char* SnapshotTypeName(DWORD type) {
    return type == BaseBridge::SnapShotFileSystem ? "fileSystem" : "bridgeStream";
}

const char* ControlKindName(DWORD kind) {
    return kind == BaseBridge::ControlManual ? "manual" : "api";
}

}  // namespace

BaseBridge::BaseBridge(const GUID& processGuid) : m_ProcessGuid(processGuid) {}

BaseBridge::~BaseBridge() = default;

void BaseBridge::SetClient(IBridgeClientInfo* pInfo, IBridgeEvent* pEvent) {
    QV_ASSERT(pInfo != NULL);
    QV_ASSERT(pEvent != NULL);
    QV_ASSERT(!IsEqualGUID(m_ProcessGuid, GUID_NULL));
    m_pInfo = pInfo;
    m_pEvent = pEvent;
}

void BaseBridge::TryConnect() {
    if (m_pInfo == nullptr) {
        throw std::runtime_error("Bridge client is not set");
    }
    IReadBridgeStream& in = *this;
    IWriteBridgeStream& out = *this;

    WriteGuid(out, ProtocolGuid);
    if (!ReadBool(in)) {
        throw std::runtime_error("Incompatible bridge version");
    }

    WriteGuid(out, *m_pInfo->GetClientGuid());
    WriteGuid(out, m_ProcessGuid);
    WriteString(out, std::u16string_view(Log::GetFilePath()));
    WriteU32(out, Platform::GetCurrentProcessId());
    WriteString(out, std::u16string_view(Platform::ComposeProcessCommandLine()));
    const std::set<WString> environment = EnvironmentStrings(EMPTY_ENVIRONMENT_BLOCK);
    WriteSizeTAsUInt16(out, environment.size());
    for (const WString& entry : environment) {
        WriteString(out, std::u16string_view(entry));
    }

    if (!ReadBool(in)) {
        throw std::runtime_error("Unaccepted connection");
    }
    const DWORD snapshotType = ReadU8(in);
    m_ControlKind = ReadU8(in);
    m_NamedFlags.clear();
    const BYTE flagCount = ReadU8(in);
    for (BYTE i = 0; i < flagCount; ++i) {
        WString name = ReadWideString(in);
        const bool value = ReadBool(in);
        m_NamedFlags.emplace(std::move(name), value);
    }
    m_ControllerText = ReadString(in);
    m_pInfo->ReadSettings(in);

    if (IsBridgeLogged()) {
        std::string block;
        Log::AppendBlock(block, m_ControllerText.c_str());
        Log::BlockFormat(block, "BB::TryConnect snapShotType=%s controlKind=%s",
                         SnapshotTypeName(snapshotType), ControlKindName(m_ControlKind));
    }

    if (!ReadBool(in)) {
        throw std::runtime_error("Failed to run");
    }

    QV_ASSERT(m_pEvent != NULL);
    std::unique_ptr<CommandProcessor> pProcessor =
        m_pInfo->CreateCommandProcessor(this, m_pEvent, m_ControlKind, snapshotType);
    if (pProcessor == nullptr) {
        throw std::runtime_error("Can't create command processor");
    }
    pProcessor->Activate();
    m_pCommandProcessor = std::move(pProcessor);
}

void BaseBridge::Close() {
    if (IsBridgeLogged()) {
        Log::Message("BB::Close");
    }
    m_pInfo = nullptr;
    if (m_pCommandProcessor != nullptr) {
        m_pCommandProcessor->Deactivate();
        m_pCommandProcessor.reset();
    }
}

void BaseBridge::ActivateCommands() {
    if (IsBridgeLogged()) {
        Log::Message("BB::ActivateCommands");
    }
    if (m_pCommandProcessor == nullptr) {
        throw std::runtime_error("No command processor");
    }
    m_pCommandProcessor->EnableCommands();
}

void BaseBridge::DeactivateCommands() {
    if (IsBridgeLogged()) {
        Log::Message("BB::DeactivateCommands");
    }
    if (m_pCommandProcessor == nullptr) {
        throw std::runtime_error("No command processor");
    }
    m_pCommandProcessor->DisableCommands();
}

IBridgeControl* BaseBridge::GetControl() {
    return m_pCommandProcessor != nullptr ? m_pCommandProcessor->GetControl() : nullptr;
}

std::unique_ptr<ISnapShotStorage> BaseBridge::CreateSnapShotStorage() {
    if (m_pCommandProcessor == nullptr) {
        throw std::runtime_error("No command processor");
    }
    switch (m_pCommandProcessor->GetSnapShotType()) {
        case SnapShotFileSystem:
            return std::make_unique<FileSnapShotStorage>();
        case SnapShotBridgeStream:
            return std::make_unique<BridgeSnapShotStorage>();
        default:
            throw std::runtime_error("Unknown bridge type");
    }
}

void BaseBridge::EndReplies() {
    if (m_pCommandProcessor != nullptr) {
        m_pCommandProcessor->EndReplies();
    }
}
