// The tables of one module's metadata blob (the metadata directory of its image, starting with
// "BSJB"), read offline so that tokens in a snapshot can be named. Holds its own copy of the blob.
//
// Both forms of the tables stream are read: "#~" (compressed) and "#-" (uncompressed, which may
// carry the FieldPtr/MethodPtr/... indirection tables and 4 extra bytes after the row counts).
// Row sizes are computed for every table 0x00..0x2C, so rows are found for any module.
//
// Nothing in the blob is trusted: the constructor checks that the root, the stream headers and all
// table data lie inside the blob, and every heap read is checked again. Violations raise
// std::runtime_error naming what is wrong ("Metadata tables stream is cut short", "String heap
// index out of range"). Rows are 1-based as in tokens; a row outside its table raises too.
//
// All accessors are const and touch no shared state: one instance may be read from many threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/Types.h"

namespace Controller {

// Table numbers, which are also the top byte of a token.
enum class MetaDataTable : uint8_t {
    Module = 0x00,
    TypeRef = 0x01,
    TypeDef = 0x02,
    FieldPtr = 0x03,
    Field = 0x04,
    MethodPtr = 0x05,
    MethodDef = 0x06,
    ParamPtr = 0x07,
    Param = 0x08,
    InterfaceImpl = 0x09,
    MemberRef = 0x0A,
    Constant = 0x0B,
    CustomAttribute = 0x0C,
    FieldMarshal = 0x0D,
    DeclSecurity = 0x0E,
    ClassLayout = 0x0F,
    FieldLayout = 0x10,
    StandAloneSig = 0x11,
    EventMap = 0x12,
    EventPtr = 0x13,
    Event = 0x14,
    PropertyMap = 0x15,
    PropertyPtr = 0x16,
    Property = 0x17,
    MethodSemantics = 0x18,
    MethodImpl = 0x19,
    ModuleRef = 0x1A,
    TypeSpec = 0x1B,
    ImplMap = 0x1C,
    FieldRva = 0x1D,
    EncLog = 0x1E,
    EncMap = 0x1F,
    Assembly = 0x20,
    AssemblyProcessor = 0x21,
    AssemblyOs = 0x22,
    AssemblyRef = 0x23,
    AssemblyRefProcessor = 0x24,
    AssemblyRefOs = 0x25,
    File = 0x26,
    ExportedType = 0x27,
    ManifestResource = 0x28,
    NestedClass = 0x29,
    GenericParam = 0x2A,
    MethodSpec = 0x2B,
    GenericParamConstraint = 0x2C,
};

class MetaDataTables {
public:
    // Number of tables whose layout is known; present tables above them are counted but unread
    // (they follow all known tables, so they do not move any known row).
    static constexpr size_t KnownTableCount = 0x2D;

    // Parses the root, the stream headers and the tables stream header, and builds the lookups
    // below (method and field owners, nesting, generic parameters). Raises on any violation.
    explicit MetaDataTables(std::vector<BYTE> blob);

    // True for a "#-" tables stream.
    bool IsUncompressed() const { return m_Uncompressed; }
    // The row count of any table 0x00..0x3F; 0 for an absent table.
    uint32_t RowCount(MetaDataTable table) const;

    // The Module row's Mvid from the GUID heap.
    GUID Mvid() const;
    // The Module row's name (the module's file name as compiled, "Lib.dll"); empty without a row.
    std::string ModuleName() const;

    std::string TypeDefName(uint32_t row) const;
    std::string TypeDefNamespace(uint32_t row) const;
    // The TypeDef row enclosing a nested type (NestedClass table), 0 for a type that is not nested.
    uint32_t EnclosingType(uint32_t typeDefRow) const;

    std::string MethodName(uint32_t methodDefRow) const;
    std::string FieldName(uint32_t fieldRow) const;
    // The TypeDef row whose MethodList (FieldList) range holds the method (field), following the
    // MethodPtr (FieldPtr) table when it has rows; 0 when no type's range holds it.
    uint32_t MethodOwner(uint32_t methodDefRow) const;
    uint32_t FieldOwner(uint32_t fieldRow) const;

    std::string TypeRefName(uint32_t row) const;
    std::string TypeRefNamespace(uint32_t row) const;
    // The TypeRef row named by the ResolutionScope when the referenced type is nested in another
    // referenced type; 0 when the scope is a module, module reference, assembly or empty.
    uint32_t TypeRefEnclosing(uint32_t typeRefRow) const;

    // Names of the generic parameters owned by a TypeDef or MethodDef token, in parameter number
    // order; empty for other tokens and non-generic owners.
    std::vector<std::string> GenericParameterNames(uint32_t ownerToken) const;
    uint32_t GenericParameterCount(uint32_t ownerToken) const;

private:
    struct Span {
        size_t offset = 0;
        size_t size = 0;
    };
    struct TableLayout {
        size_t offset = 0;  // of row 1, from the blob's start
        uint32_t rowSize = 0;
        std::array<uint8_t, 10> columnOffsets{};
        std::array<uint8_t, 10> columnSizes{};
    };

    void ReadStreamHeaders();
    void ReadTablesHeader();
    void ComputeLayouts(size_t dataOffset);
    std::vector<uint32_t> BuildOwners(uint8_t listColumn, MetaDataTable owned,
                                      MetaDataTable pointers) const;
    void BuildNesting();
    void BuildGenericParameters();

    uint32_t ReadU16(size_t offset) const;
    uint32_t ReadU32(size_t offset) const;
    uint32_t Rows(MetaDataTable table) const { return m_RowCounts[static_cast<size_t>(table)]; }
    // One column of a row, widened to 32 bits; raises for a row outside the table.
    uint32_t Cell(MetaDataTable table, uint32_t row, uint8_t column) const;
    std::string String(uint32_t index) const;

    std::vector<BYTE> m_Blob;
    Span m_Strings;
    Span m_Guids;
    Span m_Tables;
    bool m_HasStrings = false;
    bool m_HasGuids = false;
    bool m_Uncompressed = false;
    BYTE m_HeapSizes = 0;
    std::array<uint32_t, 64> m_RowCounts{};
    std::array<TableLayout, KnownTableCount> m_Layouts{};

    // Lookups built once by the constructor, indexed by row (entry 0 unused).
    std::vector<uint32_t> m_MethodOwners;
    std::vector<uint32_t> m_FieldOwners;
    std::vector<uint32_t> m_EnclosingTypes;
    // Owner token to GenericParam rows in parameter number order.
    std::unordered_map<uint32_t, std::vector<uint32_t>> m_GenericParameters;
};

}  // namespace Controller
