// Finds a managed module's metadata blob in its PE image, reads it or its MVID, and finds the MVID
// in a blob already read. Stateless free functions over a caller's byte source and plain buffers.
//
// Malformed structures raise std::runtime_error with a fixed text; errors of the byte source
// itself (short file, failed seek) pass through unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "Bridge/IReadSeekBridgeStream.h"
#include "Platform/Types.h"
#include "Profiler/ImageSectionHeader.h"

// Where an image keeps its metadata blob: the image's base position in the stream, and the blob's
// file offset from that base and its size.
struct MetaDataLocation {
    int32_t base = 0;
    DWORD offset = 0;
    DWORD size = 0;
};

// Parses the headers of the image at the stream's current position (the image base). Returns
// false without raising when the bytes are not a PE image or carry no CLI header. On true the blob
// starts with "BSJB" and the stream holds all of it; the stream's position is left anywhere.
bool LocateModuleMetaData(IReadSeekBridgeStream& stream, MetaDataLocation& location);

// Reads the image at the stream's current position (the image base). Returns false without
// raising when the bytes are not a PE image or carry no CLI header; on true, `blob` holds exactly
// the metadata directory's bytes, starting with "BSJB".
bool ReadModuleMetaData(IReadSeekBridgeStream& stream, std::vector<BYTE>& blob);

// The file offset of an RVA range lying wholly inside one section (the first in table order);
// raises "Can't find section for RVA" when none holds it.
DWORD RvaToFileOffset(const std::vector<ImageSectionHeader>& sections, DWORD rva, DWORD size);

// Points at the 16 bytes of the Module row's MVID inside `blob`'s GUID heap. Every structure it
// reads is checked against the blob's size ("Metadata stream out of range", "Mvid out of range").
const BYTE* FindModuleMvid(const std::vector<BYTE>& blob);

// The same MVID, read piece by piece from a blob still in the stream at `location`, with the same
// checks and texts; the rest of the blob is not read.
void ReadModuleMvid(IReadSeekBridgeStream& stream, const MetaDataLocation& location,
                    BYTE (&mvid)[16]);
