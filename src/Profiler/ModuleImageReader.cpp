#include "Profiler/ModuleImageReader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "Util/Log.h"

namespace {

constexpr WORD DosSignature = 0x5A4D;          // "MZ"
constexpr DWORD NtSignature = 0x00004550;      // "PE\0\0"
constexpr DWORD MetadataSignature = 0x424A5342;  // "BSJB"
constexpr WORD Pe32Magic = 0x10B;
constexpr WORD Pe32PlusMagic = 0x20B;

constexpr size_t DosHeaderSize = 64;
constexpr size_t DosLfanewOffset = 60;
constexpr size_t FileHeaderSize = 20;
constexpr size_t Pe32OptionalHeaderSize = 224;
constexpr size_t Pe32PlusOptionalHeaderSize = 240;
constexpr DWORD CliHeaderDirectory = 14;
constexpr DWORD CliHeaderSize = 72;
constexpr DWORD MinMetadataSize = 20;

// Tables stream layout.
constexpr uint64_t TablesHeapSizesOffset = 6;
constexpr uint64_t TablesValidOffset = 8;
constexpr uint64_t TablesRowCountsOffset = 24;
constexpr size_t MaxStreamNameCompare = 32;
constexpr uint64_t GuidSize = 16;

// A metadata size larger than the file grows the blob as its bytes arrive, so a corrupt size
// costs at most one chunk more than the file actually holds.
constexpr size_t BlobReadChunk = 1024 * 1024;

WORD LoadU16(const BYTE* p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

DWORD LoadU32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

uint64_t LoadU64(const BYTE* p) {
    return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}

template <size_t N>
void ReadBytes(IReadSeekBridgeStream& stream, BYTE (&buffer)[N]) {
    stream.Read(buffer, N);
}

DWORD ReadDword(IReadSeekBridgeStream& stream) {
    BYTE bytes[4];
    ReadBytes(stream, bytes);
    return LoadU32(bytes);
}

// Positions are 32-bit signed: a file offset that does not fit one Seek goes in steps, and the
// stream itself decides whether the target exists.
void SeekTo(IReadSeekBridgeStream& stream, int32_t base, DWORD offset) {
    const int64_t target = static_cast<int64_t>(base) + offset;
    if (target <= std::numeric_limits<int32_t>::max()) {
        stream.Seek(ISeekBridgeStream::SeekBegin, static_cast<int32_t>(target));
        return;
    }
    stream.Seek(ISeekBridgeStream::SeekBegin, base);
    int64_t remaining = offset;
    while (remaining > 0) {
        const int64_t step = std::min<int64_t>(remaining, std::numeric_limits<int32_t>::max());
        stream.Seek(ISeekBridgeStream::SeekCurrent, static_cast<int32_t>(step));
        remaining -= step;
    }
}

ImageSectionHeader DecodeSectionHeader(const BYTE* p) {
    ImageSectionHeader header;
    std::memcpy(header.Name, p, sizeof(header.Name));
    header.VirtualSize = LoadU32(p + 8);
    header.VirtualAddress = LoadU32(p + 12);
    header.SizeOfRawData = LoadU32(p + 16);
    header.PointerToRawData = LoadU32(p + 20);
    header.PointerToRelocations = LoadU32(p + 24);
    header.PointerToLinenumbers = LoadU32(p + 28);
    header.NumberOfRelocations = LoadU16(p + 32);
    header.NumberOfLinenumbers = LoadU16(p + 34);
    header.Characteristics = LoadU32(p + 36);
    return header;
}

// Reads the CLI header and the metadata blob; false when the CLI header names no metadata.
bool ReadCliMetaData(IReadSeekBridgeStream& stream, int32_t base,
                     const std::vector<ImageSectionHeader>& sections, DWORD cliRva, DWORD cliSize,
                     std::vector<BYTE>& blob) {
    SeekTo(stream, base, RvaToFileOffset(sections, cliRva, cliSize));
    BYTE cliHeader[CliHeaderSize];
    ReadBytes(stream, cliHeader);
    if (LoadU32(cliHeader) != CliHeaderSize) {
        throw std::runtime_error("Invalid cor header size, version 2.0 expected");
    }

    const DWORD metadataRva = LoadU32(cliHeader + 8);
    const DWORD metadataSize = LoadU32(cliHeader + 12);
    if (metadataRva == 0 || metadataSize == 0) {
        return false;
    }
    if (metadataSize < MinMetadataSize) {
        throw std::runtime_error("Too small metadata size");
    }

    SeekTo(stream, base, RvaToFileOffset(sections, metadataRva, metadataSize));
    BYTE signature[4];
    ReadBytes(stream, signature);
    if (LoadU32(signature) != MetadataSignature) {
        throw std::runtime_error("Invalid metadata signature");
    }

    // When the file holds the whole blob it is read in one piece; otherwise it grows chunk by
    // chunk until the read past the file's end fails.
    const int32_t here = stream.Tell();
    stream.Seek(ISeekBridgeStream::SeekEnd, 0);
    const int64_t remaining = static_cast<int64_t>(stream.Tell()) - here;
    stream.Seek(ISeekBridgeStream::SeekBegin, here);
    const bool fits = remaining >= static_cast<int64_t>(metadataSize - sizeof(signature));
    blob.resize(fits ? metadataSize : std::min<size_t>(metadataSize, BlobReadChunk));
    std::memcpy(blob.data(), signature, sizeof(signature));
    size_t filled = sizeof(signature);
    while (filled < metadataSize) {
        const size_t end = std::min<size_t>(metadataSize, filled + BlobReadChunk);
        blob.resize(end);
        stream.Read(blob.data() + filled, end - filled);
        filled = end;
    }
    return true;
}

// Bounds of the blob, in 64-bit arithmetic so that no offset from the file can wrap around.
void CheckRange(const std::vector<BYTE>& blob, uint64_t offset, uint64_t size, const char* pText) {
    if (offset > blob.size() || size > blob.size() - offset) {
        throw std::runtime_error(pText);
    }
}

constexpr char StreamOutOfRange[] = "Metadata stream out of range";
constexpr char MvidOutOfRange[] = "Mvid out of range";

}  // namespace

bool ReadModuleMetaData(IReadSeekBridgeStream& stream, std::vector<BYTE>& blob) {
    const int32_t base = stream.Tell();

    BYTE dosHeader[DosHeaderSize];
    ReadBytes(stream, dosHeader);
    if (LoadU16(dosHeader) != DosSignature) {
        return false;
    }

    SeekTo(stream, base, LoadU32(dosHeader + DosLfanewOffset));
    if (ReadDword(stream) != NtSignature) {
        throw std::runtime_error("Invalid NT header signature");
    }

    BYTE fileHeader[FileHeaderSize];
    ReadBytes(stream, fileHeader);
    const WORD sectionCount = LoadU16(fileHeader + 2);
    if (sectionCount == 0) {
        throw std::runtime_error("No section table");
    }
    if (LoadU16(fileHeader + 16) < Pe32OptionalHeaderSize) {
        throw std::runtime_error("Invalid option header size");
    }

    // Room for the larger optional header; the magic decides how much of it is read.
    BYTE optionalHeader[Pe32PlusOptionalHeaderSize];
    stream.Read(optionalHeader, 2);
    size_t optionalSize = 0;
    size_t rvaCountOffset = 0;
    size_t directoriesOffset = 0;
    switch (LoadU16(optionalHeader)) {
        case Pe32Magic:
            optionalSize = Pe32OptionalHeaderSize;
            rvaCountOffset = 92;
            directoriesOffset = 96;
            break;
        case Pe32PlusMagic:
            optionalSize = Pe32PlusOptionalHeaderSize;
            rvaCountOffset = 108;
            directoriesOffset = 112;
            break;
        default:
            throw std::runtime_error("Invalid optional header signature");
    }
    stream.Read(optionalHeader + 2, optionalSize - 2);
    if (LoadU32(optionalHeader + rvaCountOffset) <= CliHeaderDirectory) {
        throw std::runtime_error("Invalid RVA's count in option header");
    }
    const BYTE* pCliDirectory = optionalHeader + directoriesOffset + 8 * CliHeaderDirectory;
    const DWORD cliRva = LoadU32(pCliDirectory);
    const DWORD cliSize = LoadU32(pCliDirectory + 4);
    if (cliRva == 0 || cliSize == 0) {
        return false;
    }

    // The section table is read right behind the optional header's fixed part.
    std::vector<BYTE> table(static_cast<size_t>(sectionCount) * ImageSectionHeader::Size);
    stream.Read(table.data(), table.size());
    std::vector<ImageSectionHeader> sections;
    sections.reserve(sectionCount);
    for (size_t i = 0; i < sectionCount; ++i) {
        sections.push_back(DecodeSectionHeader(table.data() + i * ImageSectionHeader::Size));
    }

    if (!ReadCliMetaData(stream, base, sections, cliRva, cliSize, blob)) {
        throw std::runtime_error("Can't detect module mapping");
    }
    return true;
}

DWORD RvaToFileOffset(const std::vector<ImageSectionHeader>& sections, DWORD rva, DWORD size) {
    for (const ImageSectionHeader& section : sections) {
        const uint64_t end = static_cast<uint64_t>(rva) + size;
        const uint64_t sectionEnd =
            static_cast<uint64_t>(section.VirtualAddress) + section.VirtualSize;
        if (section.VirtualAddress <= rva && end <= sectionEnd) {
            return rva - section.VirtualAddress + section.PointerToRawData;
        }
    }
    throw std::runtime_error("Can't find section for RVA");
}

const BYTE* FindModuleMvid(const std::vector<BYTE>& blob) {
    if (blob.size() < 4 || LoadU32(blob.data()) != MetadataSignature) {
        throw std::runtime_error("Invalid metadata signature");
    }
    const BYTE* const pBlob = blob.data();

    // Metadata root: signature, versions, reserved, version length, padded version text, flags,
    // stream count, stream headers.
    CheckRange(blob, 12, 4, StreamOutOfRange);
    const uint64_t versionEnd = 16 + ((static_cast<uint64_t>(LoadU32(pBlob + 12)) + 3) & ~3ull);
    CheckRange(blob, versionEnd, 4, StreamOutOfRange);
    const WORD streamCount = LoadU16(pBlob + versionEnd + 2);

    // A later header of the same kind replaces an earlier one, so offsets are checked only once
    // the choice is final.
    bool haveTables = false;
    uint64_t tablesOffset = 0;
    bool haveGuidHeap = false;
    uint64_t guidOffset = 0;
    uint64_t header = versionEnd + 4;
    for (WORD i = 0; i < streamCount; ++i) {
        CheckRange(blob, header, 8, StreamOutOfRange);
        const DWORD streamOffset = LoadU32(pBlob + header);
        const uint64_t nameOffset = header + 8;
        const BYTE* pName = pBlob + nameOffset;
        const void* pEnd = std::memchr(pName, 0, static_cast<size_t>(blob.size() - nameOffset));
        if (pEnd == nullptr) {
            throw std::runtime_error(StreamOutOfRange);
        }
        const char* pText = reinterpret_cast<const char*>(pName);
        const size_t nameLength = static_cast<const BYTE*>(pEnd) - pName;
        if (std::strncmp(pText, "#~", MaxStreamNameCompare) == 0 ||
            std::strncmp(pText, "#-", MaxStreamNameCompare) == 0) {
            haveTables = true;
            tablesOffset = streamOffset;
        } else if (std::strncmp(pText, "#GUID", MaxStreamNameCompare) == 0) {
            haveGuidHeap = true;
            guidOffset = streamOffset;
        }
        header = nameOffset + ((nameLength + 4) & ~static_cast<uint64_t>(3));
    }
    if (!haveTables) {
        throw std::runtime_error("Can't find #~ or #- stream");
    }
    if (!haveGuidHeap) {
        throw std::runtime_error("Can't find #GUID stream");
    }

    CheckRange(blob, tablesOffset, TablesRowCountsOffset, StreamOutOfRange);
    const BYTE* const pTables = pBlob + tablesOffset;
    const uint64_t stringIndexSize = (pTables[TablesHeapSizesOffset] & 0x01) != 0 ? 4 : 2;
    const uint64_t valid = LoadU64(pTables + TablesValidOffset);

    // Row counts: one u32 per present table, in table order; the Module table is table 0.
    uint64_t rowCounts = tablesOffset + TablesRowCountsOffset;
    bool allTablesTiny = true;
    DWORD moduleRows = 0;
    for (int table = 0; table < 64; ++table) {
        if ((valid & (1ull << table)) == 0) {
            continue;
        }
        CheckRange(blob, rowCounts, 4, StreamOutOfRange);
        const DWORD rows = LoadU32(pBlob + rowCounts);
        if (table == 0) {
            moduleRows = rows;
        }
        if (rows > 1) {
            allTablesTiny = false;
        }
        rowCounts += 4;
    }
    if (allTablesTiny) {
        Log::Warning("Fake metadata detected");
    }
    if ((valid & 1) == 0) {
        throw std::runtime_error("No module tokens");
    }
    if (moduleRows == 0) {
        throw std::runtime_error("No module rows");
    }
    if (moduleRows > 1) {
        throw std::runtime_error("Too many module rows");
    }

    // Module row: Generation (u16), Name (string index), Mvid (GUID index, read as u16).
    const uint64_t mvidIndexOffset = rowCounts + 2 + stringIndexSize;
    CheckRange(blob, mvidIndexOffset, 2, StreamOutOfRange);
    const WORD mvidIndex = LoadU16(pBlob + mvidIndexOffset);
    if (mvidIndex == 0) {
        throw std::runtime_error("No Mvid in module");
    }
    const uint64_t mvidOffset = guidOffset + (static_cast<uint64_t>(mvidIndex) - 1) * GuidSize;
    CheckRange(blob, mvidOffset, GuidSize, MvidOutOfRange);
    return pBlob + mvidOffset;
}
