#include "Controller/SnapshotFile.h"

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Controller/SpanReadStream.h"

namespace Controller {

namespace {

std::runtime_error Damaged(const std::string& name, const std::string& what) {
    return std::runtime_error("The snapshot file '" + name + "' is damaged: " + what);
}

uint8_t FlagsOf(const Snapshot& snapshot) {
    uint8_t flags = 0;
    if (snapshot.complete) {
        flags |= SnapshotFile::FlagComplete;
    }
    if (snapshot.aborted) {
        flags |= SnapshotFile::FlagAborted;
    }
    return flags;
}

// The header after the preamble: fixed fields, then the note.
std::vector<BYTE> EncodeHeader(const Snapshot& snapshot) {
    MemoryBridgeStream header;
    WriteU32(header, snapshot.magic);
    WriteU32(header, snapshot.index);
    WriteGuid(header, snapshot.sequence);
    WriteU32(header, snapshot.sequenceNumber);
    WriteU8(header, FlagsOf(snapshot));
    WriteU8(header, static_cast<uint8_t>(snapshot.origin));
    WriteU16(header, 0);
    WriteSizeTAsUInt32(header, snapshot.sections.size());
    WriteString(header, snapshot.note);
    return header.GetContent();
}

void ReadHeader(const BYTE* pHeader, size_t size, const std::string& name, Snapshot& snapshot,
                size_t* sectionCount) {
    SpanReadStream in(pHeader, size, "");
    // Checked here so the reads below cannot run out.
    if (size < SnapshotFile::HeaderFixedSize) {
        throw Damaged(name, "its header is " + std::to_string(size) + " bytes, fewer than the " +
                                std::to_string(SnapshotFile::HeaderFixedSize) + " required");
    }
    snapshot.magic = ReadU32(in);
    snapshot.index = ReadU32(in);
    snapshot.sequence = ReadGuid(in);
    snapshot.sequenceNumber = ReadU32(in);
    const uint8_t flags = ReadU8(in);
    const uint8_t origin = ReadU8(in);
    ReadU16(in);
    *sectionCount = ReadU32(in);
    SpanReadStream note(pHeader + in.GetPosition(), in.GetRemaining(), "");
    try {
        snapshot.note = ReadString(note);
    } catch (const std::exception&) {
        throw Damaged(name, "the note in its header is cut short or malformed");
    }

    snapshot.complete = (flags & SnapshotFile::FlagComplete) != 0;
    snapshot.aborted = (flags & SnapshotFile::FlagAborted) != 0;
    if (snapshot.complete && snapshot.aborted) {
        throw Damaged(name, "it is marked both complete and aborted");
    }
    if (origin > static_cast<uint8_t>(SnapshotOrigin::FileStorage)) {
        throw Damaged(name, "it names the unknown origin " + std::to_string(origin));
    }
    snapshot.origin = static_cast<SnapshotOrigin>(origin);
}

}  // namespace

std::vector<BYTE> SnapshotFile::EncodeHead(const Snapshot& snapshot) {
    const std::vector<BYTE> header = EncodeHeader(snapshot);
    MemoryBridgeStream head;
    head.Write(Magic, sizeof(Magic));
    WriteU16(head, MajorVersion);
    WriteU16(head, MinorVersion);
    WriteSizeTAsUInt32(head, header.size());
    head.Write(header.data(), header.size());

    uint64_t offset = PreambleSize + header.size() + snapshot.sections.size() * SectionEntrySize;
    for (const SnapshotSection& section : snapshot.sections) {
        WriteU16(head, section.type);
        WriteU16(head, section.version);
        WriteU16(head, section.closed ? SectionClosed : 0);
        WriteU16(head, 0);
        WriteU64(head, offset);
        WriteU64(head, section.bytes.size());
        offset += section.bytes.size();
    }
    return head.GetContent();
}

void SnapshotFile::Write(const std::filesystem::path& path, const Snapshot& snapshot) {
    const std::vector<BYTE> head = EncodeHead(snapshot);
    std::filesystem::path partial = path;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(head.data()),
                  static_cast<std::streamsize>(head.size()));
        for (const SnapshotSection& section : snapshot.sections) {
            out.write(reinterpret_cast<const char*>(section.bytes.data()),
                      static_cast<std::streamsize>(section.bytes.size()));
        }
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            throw std::runtime_error("Can't write the snapshot file '" + path.string() +
                                     "': check that its directory exists and the disk has room");
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        throw std::runtime_error("Can't write the snapshot file '" + path.string() +
                                 "': " + error.message());
    }
}

Snapshot SnapshotFile::Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        throw std::runtime_error("Can't open the snapshot file '" + path.string() + "'");
    }
    const std::streamoff size = in.tellg();
    if (size < 0) {
        throw std::runtime_error("Can't read the snapshot file '" + path.string() + "'");
    }
    std::vector<BYTE> bytes;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::exception&) {
        throw std::runtime_error("The snapshot file '" + path.string() + "' is too large to load");
    }
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    if (!in) {
        throw std::runtime_error("Can't read the snapshot file '" + path.string() + "'");
    }
    return Parse(bytes.data(), bytes.size(), path.string());
}

Snapshot SnapshotFile::Parse(const BYTE* pData, size_t size, const std::string& name) {
    if (size < sizeof(Magic) || std::memcmp(pData, Magic, sizeof(Magic)) != 0) {
        throw std::runtime_error("'" + name + "' is not a snapshot file: it does not begin with "
                                 "the snapshot file magic");
    }
    if (size < PreambleSize) {
        throw Damaged(name, "it ends inside its preamble");
    }
    SpanReadStream preamble(pData + sizeof(Magic), PreambleSize - sizeof(Magic), "");
    const uint16_t major = ReadU16(preamble);
    const uint16_t minor = ReadU16(preamble);
    const uint32_t headerSize = ReadU32(preamble);
    if (major > MajorVersion) {
        throw std::runtime_error("The snapshot file '" + name + "' has format version " +
                                 std::to_string(major) + "." + std::to_string(minor) +
                                 ", newer than this qvprof reads (" +
                                 std::to_string(MajorVersion) + ".x): use a newer qvprof");
    }
    if (major == 0) {
        throw Damaged(name, "its format version is 0." + std::to_string(minor));
    }
    if (headerSize > size - PreambleSize) {
        throw Damaged(name, "its header reaches beyond the end of the file");
    }

    Snapshot snapshot;
    size_t sectionCount = 0;
    ReadHeader(pData + PreambleSize, headerSize, name, snapshot, &sectionCount);

    // A newer minor version may append header fields: the table starts where the size says.
    const size_t tableStart = PreambleSize + headerSize;
    if (sectionCount > (size - tableStart) / SectionEntrySize) {
        throw Damaged(name, "its section table of " + std::to_string(sectionCount) +
                                " entries reaches beyond the end of the file");
    }
    const size_t tableEnd = tableStart + sectionCount * SectionEntrySize;
    SpanReadStream table(pData + tableStart, sectionCount * SectionEntrySize, "");
    snapshot.sections.resize(sectionCount);
    for (size_t i = 0; i < sectionCount; ++i) {
        SnapshotSection& section = snapshot.sections[i];
        section.type = ReadU16(table);
        section.version = ReadU16(table);
        section.closed = (ReadU16(table) & SectionClosed) != 0;
        ReadU16(table);
        const uint64_t offset = ReadU64(table);
        const uint64_t length = ReadU64(table);
        if (offset < tableEnd) {
            throw Damaged(name, "section " + std::to_string(i) + " starts at offset " +
                                    std::to_string(offset) + ", inside the header or the table");
        }
        if (offset > size || length > size - offset) {
            throw Damaged(name, "section " + std::to_string(i) + " (offset " +
                                    std::to_string(offset) + ", " + std::to_string(length) +
                                    " bytes) reaches beyond the end of the file (" +
                                    std::to_string(size) + " bytes)");
        }
        if (snapshot.complete && !section.closed) {
            throw Damaged(name, "it is marked complete but section " + std::to_string(i) +
                                    " was never closed");
        }
        section.bytes.assign(pData + offset, pData + offset + length);
    }
    return snapshot;
}

}  // namespace Controller
