#include "Profiler/ModuleImageReader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "Util/Log.h"

namespace {

constexpr WORD DosSignature = 0x5A4D;            // "MZ"
constexpr DWORD NtSignature = 0x00004550;        // "PE\0\0"
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
constexpr uint64_t GuidSize = 16;

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

// Reads the CLI header and finds the metadata blob; false when the CLI header names no metadata.
bool LocateCliMetaData(IReadSeekBridgeStream& stream, int32_t base,
                       const std::vector<ImageSectionHeader>& sections, DWORD cliRva, DWORD cliSize,
                       MetaDataLocation& location) {
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

    const DWORD offset = RvaToFileOffset(sections, metadataRva, metadataSize);
    SeekTo(stream, base, offset);
    BYTE signature[4];
    ReadBytes(stream, signature);
    if (LoadU32(signature) != MetadataSignature) {
        throw std::runtime_error("Invalid metadata signature");
    }

    // A file that ends inside the blob fails here, with the stream's own text for a read past
    // its end, before anyone sizes a buffer by the header's claim.
    const int32_t here = stream.Tell();
    stream.Seek(ISeekBridgeStream::SeekEnd, 0);
    const int64_t remaining = static_cast<int64_t>(stream.Tell()) - here;
    if (remaining < static_cast<int64_t>(metadataSize - sizeof(signature))) {
        BYTE past;
        stream.Read(&past, 1);
    }
    location = MetaDataLocation{base, offset, metadataSize};
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

bool LocateModuleMetaData(IReadSeekBridgeStream& stream, MetaDataLocation& location) {
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

    if (!LocateCliMetaData(stream, base, sections, cliRva, cliSize, location)) {
        throw std::runtime_error("Can't detect module mapping");
    }
    return true;
}

bool ReadModuleMetaData(IReadSeekBridgeStream& stream, std::vector<BYTE>& blob) {
    MetaDataLocation location;
    if (!LocateModuleMetaData(stream, location)) {
        return false;
    }
    SeekTo(stream, location.base, location.offset);
    blob.resize(location.size);
    stream.Read(blob.data(), blob.size());
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

namespace {

// Checked random access to the bytes of a metadata blob held in memory.
class BlobBytes {
public:
    explicit BlobBytes(const std::vector<BYTE>& blob) : m_Blob(blob) {}

    const BYTE* At(uint64_t offset, uint64_t size, const char* pText) const {
        CheckRange(m_Blob, offset, size, pText);
        return m_Blob.data() + offset;
    }
    // Length of the zero-terminated name at `offset`; one without its zero raises.
    uint64_t NameLength(uint64_t offset) const {
        const BYTE* pName = At(offset, 0, StreamOutOfRange);
        const void* pEnd = std::memchr(pName, 0, static_cast<size_t>(m_Blob.size() - offset));
        if (pEnd == nullptr) {
            throw std::runtime_error(StreamOutOfRange);
        }
        return static_cast<uint64_t>(static_cast<const BYTE*>(pEnd) - pName);
    }

private:
    const std::vector<BYTE>& m_Blob;
};

// The same access to a blob still in its file: each piece is read when asked for, into one small
// buffer that the next piece overwrites.
class FileBytes {
public:
    FileBytes(IReadSeekBridgeStream& stream, const MetaDataLocation& location)
        : m_Stream(stream), m_Location(location) {}

    const BYTE* At(uint64_t offset, uint64_t size, const char* pText) {
        if (offset > m_Location.size || size > m_Location.size - offset) {
            throw std::runtime_error(pText);
        }
        if (size > sizeof(m_Piece)) {
            throw std::logic_error("Metadata piece too large");
        }
        // Inside the blob, which the file holds whole, so the offset fits the file's positions.
        SeekTo(m_Stream, m_Location.base, static_cast<DWORD>(m_Location.offset + offset));
        m_Stream.Read(m_Piece, static_cast<size_t>(size));
        return m_Piece;
    }
    uint64_t NameLength(uint64_t offset) {
        uint64_t length = 0;
        for (;;) {
            const uint64_t left =
                m_Location.size - std::min<uint64_t>(offset + length, m_Location.size);
            if (left == 0) {
                throw std::runtime_error(StreamOutOfRange);
            }
            const uint64_t piece = std::min<uint64_t>(left, sizeof(m_Piece));
            const BYTE* p = At(offset + length, piece, StreamOutOfRange);
            const void* pEnd = std::memchr(p, 0, static_cast<size_t>(piece));
            if (pEnd != nullptr) {
                return length + static_cast<uint64_t>(static_cast<const BYTE*>(pEnd) - p);
            }
            length += piece;
        }
    }

private:
    IReadSeekBridgeStream& m_Stream;
    const MetaDataLocation& m_Location;
    BYTE m_Piece[64];
};

// The longest stream name looked for, "#GUID".
constexpr uint64_t LongestWantedName = 5;

// Offset of the Module row's MVID inside the blob.
template <class Bytes>
uint64_t FindMvidOffset(Bytes& bytes) {
    if (LoadU32(bytes.At(0, 4, "Invalid metadata signature")) != MetadataSignature) {
        throw std::runtime_error("Invalid metadata signature");
    }

    // Metadata root: signature, versions, reserved, version length, padded version text, flags,
    // stream count, stream headers.
    const uint64_t versionEnd =
        16 + ((static_cast<uint64_t>(LoadU32(bytes.At(12, 4, StreamOutOfRange))) + 3) & ~3ull);
    const WORD streamCount = LoadU16(bytes.At(versionEnd, 4, StreamOutOfRange) + 2);

    // A later header of the same kind replaces an earlier one, so offsets are checked only once
    // the choice is final.
    bool haveTables = false;
    uint64_t tablesOffset = 0;
    bool haveGuidHeap = false;
    uint64_t guidOffset = 0;
    uint64_t header = versionEnd + 4;
    for (WORD i = 0; i < streamCount; ++i) {
        const DWORD streamOffset = LoadU32(bytes.At(header, 8, StreamOutOfRange));
        const uint64_t nameOffset = header + 8;
        const uint64_t nameLength = bytes.NameLength(nameOffset);
        // A longer name is none of those looked for; its bytes are not fetched.
        std::string name;
        if (nameLength <= LongestWantedName) {
            name.assign(
                reinterpret_cast<const char*>(bytes.At(nameOffset, nameLength, StreamOutOfRange)),
                static_cast<size_t>(nameLength));
        }
        if (name == "#~" || name == "#-") {
            haveTables = true;
            tablesOffset = streamOffset;
        } else if (name == "#GUID") {
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

    const BYTE* const pTables = bytes.At(tablesOffset, TablesRowCountsOffset, StreamOutOfRange);
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
        const DWORD rows = LoadU32(bytes.At(rowCounts, 4, StreamOutOfRange));
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
    const WORD mvidIndex = LoadU16(bytes.At(mvidIndexOffset, 2, StreamOutOfRange));
    if (mvidIndex == 0) {
        throw std::runtime_error("No Mvid in module");
    }
    const uint64_t mvidOffset = guidOffset + (static_cast<uint64_t>(mvidIndex) - 1) * GuidSize;
    bytes.At(mvidOffset, GuidSize, MvidOutOfRange);
    return mvidOffset;
}

}  // namespace

const BYTE* FindModuleMvid(const std::vector<BYTE>& blob) {
    BlobBytes bytes(blob);
    return blob.data() + FindMvidOffset(bytes);
}

void ReadModuleMvid(IReadSeekBridgeStream& stream, const MetaDataLocation& location,
                    BYTE (&mvid)[16]) {
    FileBytes bytes(stream, location);
    std::memcpy(mvid, bytes.At(FindMvidOffset(bytes), GuidSize, MvidOutOfRange), GuidSize);
}
