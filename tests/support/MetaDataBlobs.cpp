#include "support/MetaDataBlobs.h"

namespace MetaDataBlobs {

namespace {

Bytes Pad4(Bytes bytes) {
    while (bytes.size() % 4 != 0) {
        bytes.push_back(0);
    }
    return bytes;
}

// Table numbers used here.
constexpr int Module = 0x00, TypeRef = 0x01, TypeDef = 0x02, FieldPtr = 0x03, Field = 0x04,
              MethodPtr = 0x05, MethodDef = 0x06, NestedClass = 0x29, GenericParam = 0x2A;

uint64_t Bit(int table) {
    return uint64_t{1} << table;
}

}  // namespace

uint32_t StringHeap::Add(const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    const uint32_t index = static_cast<uint32_t>(m_Bytes.size());
    m_Bytes.insert(m_Bytes.end(), text.begin(), text.end());
    m_Bytes.push_back(0);
    return index;
}

Bytes Root(const std::vector<std::pair<std::string, Bytes>>& streams) {
    const Bytes version = Pad4(Concat({Ascii("v4.0.30319"), Bytes{0}}));
    Bytes headers;
    size_t headersSize = 0;
    for (const auto& stream : streams) {
        headersSize += 8 + Pad4(Concat({Ascii(stream.first), Bytes{0}})).size();
    }
    size_t offset = 16 + version.size() + 4 + headersSize;
    Bytes data;
    for (const auto& [name, bytes] : streams) {
        const Bytes padded = Pad4(bytes);
        headers = Concat({headers, Le32(static_cast<uint32_t>(offset)),
                          Le32(static_cast<uint32_t>(padded.size())),
                          Pad4(Concat({Ascii(name), Bytes{0}}))});
        data = Concat({data, padded});
        offset += padded.size();
    }
    return Concat({Le32(0x424A5342), Le16(1), Le16(1), Le32(0),
                   Le32(static_cast<uint32_t>(version.size())), version, Le16(0),
                   Le16(static_cast<uint16_t>(streams.size())), headers, data});
}

Bytes TablesHeader(BYTE heapSizes, uint64_t valid, const std::vector<uint32_t>& rowCounts) {
    Bytes bytes = Concat({Le32(0), Bytes{2, 0, heapSizes, 1}, Le64(valid), Le64(0)});
    for (uint32_t rows : rowCounts) {
        bytes = Concat({bytes, Le32(rows)});
    }
    if (heapSizes & 0x40) {
        bytes = Concat({bytes, Le32(0xDEADBEEF)});
    }
    return bytes;
}

Bytes CraftedMvid() {
    Bytes mvid;
    for (BYTE b = 0x10; b < 0x20; ++b) {
        mvid.push_back(b);
    }
    return mvid;
}

Bytes CraftedMetaData(bool uncompressed) {
    StringHeap strings;
    // String indexes: 2 bytes in "#~", 4 bytes in "#-" (HeapSizes 0x01).
    auto S = [&strings, uncompressed](const std::string& text) {
        const uint32_t index = strings.Add(text);
        return uncompressed ? Le32(index) : Le16(static_cast<uint16_t>(index));
    };
    const Bytes module = Concat({Le16(0), S("crafted.dll"), Le16(1), Le16(0), Le16(0)});
    // ResolutionScope: 2 tag bits, AssemblyRef 2, TypeRef 3.
    const Bytes typeRefs = Concat({Le16(1 << 2 | 2), S("Object"), S("System"),  //
                                   Le16(3 << 2 | 3), S("Entry"), S(""),         //
                                   Le16(1 << 2 | 2), S("Environment"), S("System")});
    // Flags, Name, Namespace, Extends (TypeDefOrRef: TypeRef 1 is 1 << 2 | 1), FieldList,
    // MethodList.
    auto typeDef = [&S](const std::string& name, const std::string& nameSpace, uint16_t extends,
                        uint16_t fields, uint16_t methods) {
        return Concat({Le32(0), S(name), S(nameSpace), Le16(extends), Le16(fields), Le16(methods)});
    };
    const Bytes typeDefs =
        Concat({typeDef("<Module>", "", 0, 1, 1), typeDef("Outer`2", "N.S", 5, 1, 1),
                typeDef("Inner", "", 5, 2, 3), typeDef("Top+Level", "", 5, 2, 4)});
    auto field = [&S](const std::string& name) { return Concat({Le16(0), S(name), Le16(0)}); };
    // RVA, ImplFlags, Flags, Name, Signature, ParamList.
    auto method = [&S](const std::string& name) {
        return Concat({Le32(0), Le16(0), Le16(0), S(name), Le16(0), Le16(1)});
    };
    const Bytes fields = uncompressed ? Concat({field("level"), field("count")})
                                      : Concat({field("count"), field("level")});
    const Bytes methods =
        uncompressed ? Concat({method("Go"), method("Get"), method(".ctor"), method("Run")})
                     : Concat({method(".ctor"), method("Run"), method("Go"), method("Get")});
    const Bytes nested = Concat({Le16(3), Le16(2)});
    // Number, Flags, Owner (TypeOrMethodDef: TypeDef row << 1, MethodDef row << 1 | 1), Name.
    const uint16_t getOwner = uncompressed ? (2 << 1 | 1) : (4 << 1 | 1);
    auto parameter = [&S](uint16_t number, uint16_t owner, const std::string& name) {
        return Concat({Le16(number), Le16(0), Le16(owner), S(name)});
    };
    const Bytes parameters =
        Concat({parameter(1, 2 << 1, "V"), parameter(0, 2 << 1, "K"), parameter(0, 3 << 1, "K"),
                parameter(1, 3 << 1, "V"), parameter(0, getOwner, "U")});

    Bytes tables;
    if (uncompressed) {
        const uint64_t valid = Bit(Module) | Bit(TypeRef) | Bit(TypeDef) | Bit(FieldPtr) |
                               Bit(Field) | Bit(MethodPtr) | Bit(MethodDef) | Bit(NestedClass) |
                               Bit(GenericParam);
        tables = Concat({TablesHeader(0x41, valid, {1, 3, 4, 2, 2, 4, 4, 1, 5}), module, typeRefs,
                         typeDefs, Le16(2), Le16(1), fields, Le16(3), Le16(4), Le16(1), Le16(2),
                         methods, nested, parameters});
    } else {
        const uint64_t valid = Bit(Module) | Bit(TypeRef) | Bit(TypeDef) | Bit(Field) |
                               Bit(MethodDef) | Bit(NestedClass) | Bit(GenericParam);
        tables = Concat({TablesHeader(0, valid, {1, 3, 4, 2, 4, 1, 5}), module, typeRefs, typeDefs,
                         fields, methods, nested, parameters});
    }
    return Root({{"#Blob", Bytes{0}},
                 {"#US", Bytes{0}},
                 {uncompressed ? "#-" : "#~", tables},
                 {"#Strings", strings.GetBytes()},
                 {"#GUID", CraftedMvid()}});
}

}  // namespace MetaDataBlobs
