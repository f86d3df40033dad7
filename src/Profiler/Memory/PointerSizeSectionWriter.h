// A heap section whose header is the byte width of object ids and addresses: 4 on the 32-bit
// build, 8 on the 64-bit build, where ids are written at that width.
#pragma once

#include "Bridge/BridgeStreamHelpers.h"
#include "Profiler/Memory/SectionWriter.h"

class PointerSizeSectionWriter : public SectionWriter {
public:
    static constexpr BYTE PointerSize = sizeof(UINT_PTR);

    using SectionWriter::SectionWriter;

    // An object id or address at the pointer width, into a reserved buffer.
    static BYTE* EncodeId(BYTE* p, UINT_PTR value) noexcept {
        if constexpr (sizeof(UINT_PTR) == 8) {
            return EncodeU64(p, value);
        } else {
            return EncodeU32(p, static_cast<uint32_t>(value));
        }
    }
    static void WriteId(IWriteBridgeStream& stream, UINT_PTR value) {
        BYTE bytes[PointerSize];
        EncodeId(bytes, value);
        stream.Write(bytes, sizeof bytes);
    }

protected:
    void OnCreated(IWriteBridgeStream& stream) override { WriteU8(stream, PointerSize); }
};
