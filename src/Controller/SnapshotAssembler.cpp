#include "Controller/SnapshotAssembler.h"

#include <stdexcept>

#include "Controller/ProtocolConstants.h"

namespace Controller {

SnapshotAssembler::SnapshotAssembler(int64_t maxSectionSize) : m_MaxSectionSize(maxSectionSize) {}

void SnapshotAssembler::RequireSnapshot(const char* message) const {
    if (m_pSnapshot == nullptr) {
        throw std::runtime_error(std::string(message) + " outside a snapshot");
    }
}

void SnapshotAssembler::Begin(uint32_t magic) {
    if (m_pSnapshot != nullptr) {
        throw std::runtime_error("a new snapshot began before the previous one was closed");
    }
    m_pSnapshot = std::make_shared<Snapshot>();
    m_pSnapshot->magic = magic;
    m_pSnapshot->origin = SnapshotOrigin::BridgeStream;
    m_OpenSections.clear();
    m_NextHandle = 1;
}

uint16_t SnapshotAssembler::CreateSection() {
    RequireSnapshot("a section was created");
    if (m_OpenSections.size() >= 0xFFFF) {
        throw std::runtime_error("more than 65535 sections were open at once");
    }
    // Handles of closed sections may come round again; open ones never, and 0 is not used.
    while (m_NextHandle == 0 || m_OpenSections.count(m_NextHandle) != 0) {
        ++m_NextHandle;
    }
    const uint16_t handle = m_NextHandle++;
    m_pSnapshot->sections.emplace_back();
    m_OpenSections.emplace(
        handle, OpenSection{m_pSnapshot->sections.size() - 1, SectionBuffer(m_MaxSectionSize)});
    return handle;
}

SectionBuffer& SnapshotAssembler::GetSection(uint16_t handle) {
    RequireSnapshot("a section was used");
    const auto found = m_OpenSections.find(handle);
    if (found == m_OpenSections.end()) {
        throw std::runtime_error("the section handle " + std::to_string(handle) +
                                 " is not open");
    }
    return found->second.buffer;
}

void SnapshotAssembler::CloseSection(uint16_t handle, uint16_t type, uint16_t version) {
    GetSection(handle);
    auto node = m_OpenSections.extract(handle);
    SnapshotSection& section = m_pSnapshot->sections[node.mapped().tableIndex];
    section.type = type;
    section.version = version;
    section.closed = true;
    section.bytes = node.mapped().buffer.TakeBytes();
}

std::shared_ptr<Snapshot> SnapshotAssembler::Finish() {
    for (auto& [handle, open] : m_OpenSections) {
        m_pSnapshot->sections[open.tableIndex].bytes = open.buffer.TakeBytes();
    }
    m_OpenSections.clear();
    return std::move(m_pSnapshot);
}

std::shared_ptr<Snapshot> SnapshotAssembler::Close(uint32_t index, const GUID& sequence,
                                                   uint32_t sequenceNumber) {
    RequireSnapshot("a snapshot was closed");
    m_pSnapshot->index = index;
    m_pSnapshot->sequence = sequence;
    m_pSnapshot->sequenceNumber = sequenceNumber;
    if (m_OpenSections.empty()) {
        m_pSnapshot->complete = true;
    } else {
        m_pSnapshot->note = "the profiler closed the snapshot with " +
                            std::to_string(m_OpenSections.size()) + " section(s) still open";
    }
    return Finish();
}

std::shared_ptr<Snapshot> SnapshotAssembler::Abort() {
    RequireSnapshot("a snapshot was aborted");
    m_pSnapshot->aborted = true;
    // The memory kind drops the snapshot it keeps open between heap dumps when its process ends.
    m_pSnapshot->note = m_pSnapshot->magic == MemorySnapshotMagic
                            ? "the memory profiler dropped it before a heap dump closed it (its "
                              "process ended, or it failed); the sections still being written "
                              "are lost"
                            : "the profiler abandoned the snapshot";
    return Finish();
}

std::shared_ptr<Snapshot> SnapshotAssembler::Abandon(const std::string& reason) {
    if (m_pSnapshot == nullptr) {
        return nullptr;
    }
    m_pSnapshot->note = reason;
    return Finish();
}

}  // namespace Controller
