// Metadata blobs built byte by byte from the documented layout (metadata root, stream headers,
// tables stream header, rows), for tests of the controller's metadata reader.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/Bytes.h"

namespace MetaDataBlobs {

// A #Strings heap: starts with the empty string at index 0.
class StringHeap {
public:
    uint32_t Add(const std::string& text);
    const Bytes& GetBytes() const { return m_Bytes; }

private:
    Bytes m_Bytes{0};
};

// Root header with version "v4.0.30319", then one stream header per stream, then the streams'
// bytes (each padded to 4) in the order given.
Bytes Root(const std::vector<std::pair<std::string, Bytes>>& streams);

// Tables stream header: reserved, version 2.0, HeapSizes, reserved 1, Valid, Sorted 0, one row
// count per bit of Valid (ascending) and, when HeapSizes has 0x40, the extra u32.
Bytes TablesHeader(BYTE heapSizes, uint64_t valid, const std::vector<uint32_t>& rowCounts);

// The MVID of the crafted module: bytes 0x10, 0x11, ... 0x1F.
Bytes CraftedMvid();

// One small module, written as a "#~" stream with 2-byte indexes, or as a "#-" stream with
// 4-byte string indexes, the extra data and MethodPtr/FieldPtr tables that reorder the rows.
// Its streams lie in the order #Blob, #US, tables, #Strings, #GUID, so that any truncation cuts a
// stream the reader uses. Content (tokens of the "#~" form; "#-" differs where noted):
//   TypeRef  1 System.Object   2 Entry (scope TypeRef 3)   3 System.Environment
//   TypeDef  1 <Module>   2 N.S.Outer`2 <K,V>   3 Inner <K,V>, nested in 2   4 Top+Level
//   Field    1 count (Outer`2)   2 level (Top+Level)            "#-": 1 level, 2 count
//   MethodDef 1 .ctor 2 Run (Outer`2)  3 Go (Inner)  4 Get<U> (Top+Level)
//                                                               "#-": 1 Go 2 Get<U> 3 .ctor 4 Run
// The GenericParam rows of Outer`2 are stored V before K.
Bytes CraftedMetaData(bool uncompressed);

}  // namespace MetaDataBlobs
