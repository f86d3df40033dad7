// Reads a managed module's metadata blob out of its PE image and finds the module's MVID in it.
// Stateless free functions over a caller's byte source and plain byte buffers.
//
// Malformed structures raise std::runtime_error with a fixed text; errors of the byte source
// itself (short file, failed seek) pass through unchanged.
#pragma once

#include <vector>

#include "Bridge/IReadSeekBridgeStream.h"
#include "Platform/Types.h"
#include "Profiler/ImageSectionHeader.h"

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
