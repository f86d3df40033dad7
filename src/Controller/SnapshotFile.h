// The controller's snapshot file: one self-contained file per snapshot, which a user can copy and
// open later. Its layout, versioning and integer encoding are described for users in
// docs/snapshot-file-format.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Controller/Snapshot.h"
#include "Platform/Types.h"

namespace Controller {

class SnapshotFile {
public:
    static constexpr BYTE Magic[8] = {'Q', 'V', 'S', 'N', 'A', 'P', '\r', '\n'};
    static constexpr uint16_t MajorVersion = 1;
    static constexpr uint16_t MinorVersion = 0;
    // Magic, the two version numbers and the header size.
    static constexpr size_t PreambleSize = 16;
    // The header fields of version 1.0 before the note.
    static constexpr size_t HeaderFixedSize = 36;
    static constexpr size_t SectionEntrySize = 24;

    // Snapshot flags.
    static constexpr uint8_t FlagComplete = 0x01;
    static constexpr uint8_t FlagAborted = 0x02;
    // Section flags.
    static constexpr uint16_t SectionClosed = 0x0001;

    // Writes through a temporary file beside the target that is renamed into place, so that no
    // reader ever finds half a file under the name. Raises std::runtime_error on failure.
    static void Write(const std::filesystem::path& path, const Snapshot& snapshot);

    // Reads and checks the whole file; raises std::runtime_error naming the file and the fault.
    static Snapshot Read(const std::filesystem::path& path);
    // The same for a file's bytes in memory; `name` stands for the file in messages.
    static Snapshot Parse(const BYTE* pData, size_t size, const std::string& name);

    // Everything before the section bytes: preamble, header and section table, with the sections
    // laid out back to back after the table in table order.
    static std::vector<BYTE> EncodeHead(const Snapshot& snapshot);
};

}  // namespace Controller
