#include "Controller/MetaDataTables.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace Controller {

namespace {

constexpr uint32_t MetadataSignature = 0x424A5342;  // "BSJB"
constexpr size_t RootHeaderSize = 16;               // signature, versions, reserved, length
constexpr size_t MaxStreamNameLength = 32;
constexpr size_t TablesHeaderSize = 24;  // reserved, versions, heap sizes, reserved, valid, sorted

constexpr BYTE StringHeapWide = 0x01;
constexpr BYTE GuidHeapWide = 0x02;
constexpr BYTE BlobHeapWide = 0x04;
constexpr BYTE ExtraData = 0x40;  // 4 bytes follow the row counts

enum class Kind : uint8_t { U16, U32, String, Guid, Blob, Index, Coded };

enum Coded : uint8_t {
    TypeDefOrRef,
    HasConstant,
    HasCustomAttribute,
    HasFieldMarshal,
    HasDeclSecurity,
    MemberRefParent,
    HasSemantics,
    MethodDefOrRef,
    MemberForwarded,
    Implementation,
    CustomAttributeType,
    ResolutionScope,
    TypeOrMethodDef,
};

struct Column {
    Kind kind;
    uint8_t target;  // the table of an Index, the Coded kind of a Coded column
};

using T = MetaDataTable;
constexpr uint8_t Unused = 0xFF;  // a tag value that names no table

constexpr Column U16{Kind::U16, 0};
constexpr Column U32{Kind::U32, 0};
constexpr Column Str{Kind::String, 0};
constexpr Column Gd{Kind::Guid, 0};
constexpr Column Bl{Kind::Blob, 0};
constexpr Column Ix(MetaDataTable table) {
    return {Kind::Index, static_cast<uint8_t>(table)};
}
constexpr Column Cd(Coded coded) {
    return {Kind::Coded, coded};
}
constexpr uint8_t N(MetaDataTable table) {
    return static_cast<uint8_t>(table);
}

// The tables each coded index can name, in tag order.
const std::vector<std::vector<uint8_t>>& CodedTables() {
    static const std::vector<std::vector<uint8_t>> tables = {
        {N(T::TypeDef), N(T::TypeRef), N(T::TypeSpec)},
        {N(T::Field), N(T::Param), N(T::Property)},
        {N(T::MethodDef),        N(T::Field),        N(T::TypeRef),
         N(T::TypeDef),          N(T::Param),        N(T::InterfaceImpl),
         N(T::MemberRef),        N(T::Module),       N(T::DeclSecurity),
         N(T::Property),         N(T::Event),        N(T::StandAloneSig),
         N(T::ModuleRef),        N(T::TypeSpec),     N(T::Assembly),
         N(T::AssemblyRef),      N(T::File),         N(T::ExportedType),
         N(T::ManifestResource), N(T::GenericParam), N(T::GenericParamConstraint),
         N(T::MethodSpec)},
        {N(T::Field), N(T::Param)},
        {N(T::TypeDef), N(T::MethodDef), N(T::Assembly)},
        {N(T::TypeDef), N(T::TypeRef), N(T::ModuleRef), N(T::MethodDef), N(T::TypeSpec)},
        {N(T::Event), N(T::Property)},
        {N(T::MethodDef), N(T::MemberRef)},
        {N(T::Field), N(T::MethodDef)},
        {N(T::File), N(T::AssemblyRef), N(T::ExportedType)},
        {Unused, Unused, N(T::MethodDef), N(T::MemberRef), Unused},
        {N(T::Module), N(T::ModuleRef), N(T::AssemblyRef), N(T::TypeRef)},
        {N(T::TypeDef), N(T::MethodDef)},
    };
    return tables;
}

uint32_t TagBits(Coded coded) {
    uint32_t bits = 0;
    while ((size_t{1} << bits) < CodedTables()[coded].size()) {
        ++bits;
    }
    return bits;
}

// Column schemas of tables 0x00..0x2C, in table order.
const std::vector<std::vector<Column>>& Schemas() {
    static const std::vector<std::vector<Column>> schemas = {
        /* Module */ {U16, Str, Gd, Gd, Gd},
        /* TypeRef */ {Cd(ResolutionScope), Str, Str},
        /* TypeDef */ {U32, Str, Str, Cd(TypeDefOrRef), Ix(T::Field), Ix(T::MethodDef)},
        /* FieldPtr */ {Ix(T::Field)},
        /* Field */ {U16, Str, Bl},
        /* MethodPtr */ {Ix(T::MethodDef)},
        /* MethodDef */ {U32, U16, U16, Str, Bl, Ix(T::Param)},
        /* ParamPtr */ {Ix(T::Param)},
        /* Param */ {U16, U16, Str},
        /* InterfaceImpl */ {Ix(T::TypeDef), Cd(TypeDefOrRef)},
        /* MemberRef */ {Cd(MemberRefParent), Str, Bl},
        /* Constant: type byte and padding byte */ {U16, Cd(HasConstant), Bl},
        /* CustomAttribute */ {Cd(HasCustomAttribute), Cd(CustomAttributeType), Bl},
        /* FieldMarshal */ {Cd(HasFieldMarshal), Bl},
        /* DeclSecurity */ {U16, Cd(HasDeclSecurity), Bl},
        /* ClassLayout */ {U16, U32, Ix(T::TypeDef)},
        /* FieldLayout */ {U32, Ix(T::Field)},
        /* StandAloneSig */ {Bl},
        /* EventMap */ {Ix(T::TypeDef), Ix(T::Event)},
        /* EventPtr */ {Ix(T::Event)},
        /* Event */ {U16, Str, Cd(TypeDefOrRef)},
        /* PropertyMap */ {Ix(T::TypeDef), Ix(T::Property)},
        /* PropertyPtr */ {Ix(T::Property)},
        /* Property */ {U16, Str, Bl},
        /* MethodSemantics */ {U16, Ix(T::MethodDef), Cd(HasSemantics)},
        /* MethodImpl */ {Ix(T::TypeDef), Cd(MethodDefOrRef), Cd(MethodDefOrRef)},
        /* ModuleRef */ {Str},
        /* TypeSpec */ {Bl},
        /* ImplMap */ {U16, Cd(MemberForwarded), Str, Ix(T::ModuleRef)},
        /* FieldRVA */ {U32, Ix(T::Field)},
        /* EncLog */ {U32, U32},
        /* EncMap */ {U32},
        /* Assembly */ {U32, U16, U16, U16, U16, U32, Bl, Str, Str},
        /* AssemblyProcessor */ {U32},
        /* AssemblyOS */ {U32, U32, U32},
        /* AssemblyRef */ {U16, U16, U16, U16, U32, Bl, Str, Str, Bl},
        /* AssemblyRefProcessor */ {U32, Ix(T::AssemblyRef)},
        /* AssemblyRefOS */ {U32, U32, U32, Ix(T::AssemblyRef)},
        /* File */ {U32, Str, Bl},
        /* ExportedType */ {U32, U32, Str, Str, Cd(Implementation)},
        /* ManifestResource */ {U32, U32, Str, Cd(Implementation)},
        /* NestedClass */ {Ix(T::TypeDef), Ix(T::TypeDef)},
        /* GenericParam */ {U16, U16, Cd(TypeOrMethodDef), Str},
        /* MethodSpec */ {Cd(MethodDefOrRef), Bl},
        /* GenericParamConstraint */ {Ix(T::GenericParam), Cd(TypeDefOrRef)},
    };
    return schemas;
}

// Columns read by the accessors.
constexpr uint8_t ModuleNameColumn = 1;
constexpr uint8_t ModuleMvidColumn = 2;
constexpr uint8_t TypeRefScopeColumn = 0;
constexpr uint8_t TypeRefNameColumn = 1;
constexpr uint8_t TypeRefNamespaceColumn = 2;
constexpr uint8_t TypeDefNameColumn = 1;
constexpr uint8_t TypeDefNamespaceColumn = 2;
constexpr uint8_t TypeDefFieldListColumn = 4;
constexpr uint8_t TypeDefMethodListColumn = 5;
constexpr uint8_t PointerTargetColumn = 0;
constexpr uint8_t FieldNameColumn = 1;
constexpr uint8_t MethodDefNameColumn = 3;
constexpr uint8_t NestedClassNestedColumn = 0;
constexpr uint8_t NestedClassEnclosingColumn = 1;
constexpr uint8_t GenericParamNumberColumn = 0;
constexpr uint8_t GenericParamOwnerColumn = 2;
constexpr uint8_t GenericParamNameColumn = 3;

constexpr uint32_t ResolutionScopeTypeRefTag = 3;

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value & 0xFF);
    return text;
}

}  // namespace

MetaDataTables::MetaDataTables(std::vector<BYTE> blob) : m_Blob(std::move(blob)) {
    ReadStreamHeaders();
    ReadTablesHeader();
    m_MethodOwners = BuildOwners(TypeDefMethodListColumn, T::MethodDef, T::MethodPtr);
    m_FieldOwners = BuildOwners(TypeDefFieldListColumn, T::Field, T::FieldPtr);
    BuildNesting();
    BuildGenericParameters();
}

uint32_t MetaDataTables::ReadU16(size_t offset) const {
    if (offset > m_Blob.size() || m_Blob.size() - offset < 2) {
        throw std::runtime_error("Metadata read out of range");
    }
    return m_Blob[offset] | (m_Blob[offset + 1] << 8);
}

uint32_t MetaDataTables::ReadU32(size_t offset) const {
    if (offset > m_Blob.size() || m_Blob.size() - offset < 4) {
        throw std::runtime_error("Metadata read out of range");
    }
    return m_Blob[offset] | (m_Blob[offset + 1] << 8) | (m_Blob[offset + 2] << 16) |
           (static_cast<uint32_t>(m_Blob[offset + 3]) << 24);
}

void MetaDataTables::ReadStreamHeaders() {
    const size_t size = m_Blob.size();
    if (size < RootHeaderSize) {
        throw std::runtime_error("Metadata root is cut short");
    }
    if (ReadU32(0) != MetadataSignature) {
        throw std::runtime_error("Invalid metadata signature");
    }
    const uint32_t versionLength = ReadU32(12);
    // The version string, padded to 4 bytes, then flags (u16) and the stream count (u16).
    if (versionLength > size - RootHeaderSize ||
        size - RootHeaderSize - versionLength < 4 + ((4 - versionLength % 4) % 4)) {
        throw std::runtime_error("Metadata root is cut short");
    }
    size_t position = RootHeaderSize + ((static_cast<size_t>(versionLength) + 3) & ~size_t{3});
    const uint32_t streamCount = ReadU16(position + 2);
    position += 4;

    bool haveTables = false;
    for (uint32_t i = 0; i < streamCount; ++i) {
        if (size - position < 8) {
            throw std::runtime_error("Metadata stream headers are cut short");
        }
        const uint32_t offset = ReadU32(position);
        const uint32_t streamSize = ReadU32(position + 4);
        const size_t nameStart = position + 8;
        const size_t nameLimit = std::min(size, nameStart + MaxStreamNameLength);
        size_t nameEnd = nameStart;
        while (nameEnd < nameLimit && m_Blob[nameEnd] != 0) {
            ++nameEnd;
        }
        if (nameEnd == nameLimit) {
            throw std::runtime_error("Metadata stream name is not terminated");
        }
        const std::string name(m_Blob.begin() + nameStart, m_Blob.begin() + nameEnd);
        const size_t nameLength = nameEnd - nameStart;
        // Names are padded to 4 bytes including their terminator.
        position = nameStart + ((nameLength + 4) & ~size_t{3});
        if (position > size) {
            position = size;
        }

        Span* pSpan = nullptr;
        if (name == "#~" || name == "#-") {
            pSpan = &m_Tables;
            m_Uncompressed = name == "#-";
            haveTables = true;
        } else if (name == "#Strings") {
            pSpan = &m_Strings;
            m_HasStrings = true;
        } else if (name == "#GUID") {
            pSpan = &m_Guids;
            m_HasGuids = true;
        } else {
            continue;
        }
        if (offset > size || streamSize > size - offset) {
            throw std::runtime_error("Metadata stream '" + name + "' lies outside the metadata");
        }
        pSpan->offset = offset;
        pSpan->size = streamSize;
    }
    if (!haveTables) {
        throw std::runtime_error("Can't find #~ or #- stream");
    }
}

void MetaDataTables::ReadTablesHeader() {
    const char* const cutShort = "Metadata tables stream is cut short";
    if (m_Tables.size < TablesHeaderSize) {
        throw std::runtime_error(cutShort);
    }
    m_HeapSizes = m_Blob[m_Tables.offset + 6];
    const uint64_t valid =
        ReadU32(m_Tables.offset + 8) | (static_cast<uint64_t>(ReadU32(m_Tables.offset + 12)) << 32);
    size_t position = TablesHeaderSize;
    for (size_t table = 0; table < m_RowCounts.size(); ++table) {
        if ((valid >> table) & 1) {
            if (m_Tables.size - position < 4) {
                throw std::runtime_error(cutShort);
            }
            m_RowCounts[table] = ReadU32(m_Tables.offset + position);
            position += 4;
        }
    }
    if (m_HeapSizes & ExtraData) {
        if (m_Tables.size - position < 4) {
            throw std::runtime_error(cutShort);
        }
        position += 4;
    }
    ComputeLayouts(position);
}

void MetaDataTables::ComputeLayouts(size_t dataOffset) {
    const uint8_t stringSize = (m_HeapSizes & StringHeapWide) ? 4 : 2;
    const uint8_t guidSize = (m_HeapSizes & GuidHeapWide) ? 4 : 2;
    const uint8_t blobSize = (m_HeapSizes & BlobHeapWide) ? 4 : 2;
    auto indexSize = [this](uint8_t table) -> uint8_t {
        return m_RowCounts[table] < 0x10000 ? 2 : 4;
    };
    auto codedSize = [this](Coded coded) -> uint8_t {
        uint32_t largest = 0;
        for (uint8_t table : CodedTables()[coded]) {
            if (table != Unused) {
                largest = std::max(largest, m_RowCounts[table]);
            }
        }
        return largest < (uint32_t{1} << (16 - TagBits(coded))) ? 2 : 4;
    };

    uint64_t position = dataOffset;
    for (size_t table = 0; table < KnownTableCount; ++table) {
        TableLayout& layout = m_Layouts[table];
        const std::vector<Column>& schema = Schemas()[table];
        uint32_t rowSize = 0;
        for (size_t column = 0; column < schema.size(); ++column) {
            uint8_t columnSize = 0;
            switch (schema[column].kind) {
                case Kind::U16:
                    columnSize = 2;
                    break;
                case Kind::U32:
                    columnSize = 4;
                    break;
                case Kind::String:
                    columnSize = stringSize;
                    break;
                case Kind::Guid:
                    columnSize = guidSize;
                    break;
                case Kind::Blob:
                    columnSize = blobSize;
                    break;
                case Kind::Index:
                    columnSize = indexSize(schema[column].target);
                    break;
                case Kind::Coded:
                    columnSize = codedSize(static_cast<Coded>(schema[column].target));
                    break;
            }
            layout.columnOffsets[column] = static_cast<uint8_t>(rowSize);
            layout.columnSizes[column] = columnSize;
            rowSize += columnSize;
        }
        layout.rowSize = rowSize;
        layout.offset = m_Tables.offset + static_cast<size_t>(position);
        position += static_cast<uint64_t>(m_RowCounts[table]) * rowSize;
        if (position > m_Tables.size) {
            throw std::runtime_error("Metadata tables stream is cut short");
        }
    }
}

uint32_t MetaDataTables::RowCount(MetaDataTable table) const {
    const size_t number = static_cast<size_t>(table);
    return number < m_RowCounts.size() ? m_RowCounts[number] : 0;
}

uint32_t MetaDataTables::Cell(MetaDataTable table, uint32_t row, uint8_t column) const {
    const size_t number = static_cast<size_t>(table);
    if (row == 0 || row > m_RowCounts[number]) {
        throw std::runtime_error("Row " + std::to_string(row) + " of metadata table " +
                                 Hex2(number) + " is out of range");
    }
    const TableLayout& layout = m_Layouts[number];
    const size_t offset = layout.offset + static_cast<size_t>(row - 1) * layout.rowSize +
                          layout.columnOffsets[column];
    return layout.columnSizes[column] == 2 ? ReadU16(offset) : ReadU32(offset);
}

std::string MetaDataTables::String(uint32_t index) const {
    if (index == 0 && !m_HasStrings) {
        return {};
    }
    if (!m_HasStrings || index >= m_Strings.size) {
        throw std::runtime_error("String heap index out of range");
    }
    const BYTE* pStart = m_Blob.data() + m_Strings.offset + index;
    const BYTE* pEnd = m_Blob.data() + m_Strings.offset + m_Strings.size;
    const BYTE* pNul = std::find(pStart, pEnd, BYTE{0});
    if (pNul == pEnd) {
        throw std::runtime_error("String heap entry is not terminated");
    }
    return std::string(pStart, pNul);
}

std::string MetaDataTables::ModuleName() const {
    return Rows(T::Module) == 0 ? std::string() : String(Cell(T::Module, 1, ModuleNameColumn));
}

GUID MetaDataTables::Mvid() const {
    if (Rows(T::Module) == 0) {
        throw std::runtime_error("No module row");
    }
    const uint32_t index = Cell(T::Module, 1, ModuleMvidColumn);
    if (index == 0) {
        throw std::runtime_error("No Mvid in module");
    }
    if (!m_HasGuids) {
        throw std::runtime_error("Can't find #GUID stream");
    }
    if (index > m_Guids.size / 16) {
        throw std::runtime_error("GUID heap index out of range");
    }
    const size_t offset = m_Guids.offset + (static_cast<size_t>(index) - 1) * 16;
    GUID guid;
    guid.Data1 = ReadU32(offset);
    guid.Data2 = static_cast<uint16_t>(ReadU16(offset + 4));
    guid.Data3 = static_cast<uint16_t>(ReadU16(offset + 6));
    std::copy(m_Blob.begin() + offset + 8, m_Blob.begin() + offset + 16, guid.Data4);
    return guid;
}

std::string MetaDataTables::TypeDefName(uint32_t row) const {
    return String(Cell(T::TypeDef, row, TypeDefNameColumn));
}

std::string MetaDataTables::TypeDefNamespace(uint32_t row) const {
    return String(Cell(T::TypeDef, row, TypeDefNamespaceColumn));
}

uint32_t MetaDataTables::EnclosingType(uint32_t typeDefRow) const {
    Cell(T::TypeDef, typeDefRow, 0);  // raises for a row outside the table
    return m_EnclosingTypes[typeDefRow];
}

std::string MetaDataTables::MethodName(uint32_t methodDefRow) const {
    return String(Cell(T::MethodDef, methodDefRow, MethodDefNameColumn));
}

std::string MetaDataTables::FieldName(uint32_t fieldRow) const {
    return String(Cell(T::Field, fieldRow, FieldNameColumn));
}

uint32_t MetaDataTables::MethodOwner(uint32_t methodDefRow) const {
    Cell(T::MethodDef, methodDefRow, 0);
    return m_MethodOwners[methodDefRow];
}

uint32_t MetaDataTables::FieldOwner(uint32_t fieldRow) const {
    Cell(T::Field, fieldRow, 0);
    return m_FieldOwners[fieldRow];
}

std::string MetaDataTables::TypeRefName(uint32_t row) const {
    return String(Cell(T::TypeRef, row, TypeRefNameColumn));
}

std::string MetaDataTables::TypeRefNamespace(uint32_t row) const {
    return String(Cell(T::TypeRef, row, TypeRefNamespaceColumn));
}

uint32_t MetaDataTables::TypeRefEnclosing(uint32_t typeRefRow) const {
    const uint32_t scope = Cell(T::TypeRef, typeRefRow, TypeRefScopeColumn);
    const uint32_t bits = TagBits(ResolutionScope);
    return (scope & ((1u << bits) - 1)) == ResolutionScopeTypeRefTag ? scope >> bits : 0;
}

std::vector<std::string> MetaDataTables::GenericParameterNames(uint32_t ownerToken) const {
    std::vector<std::string> names;
    const auto found = m_GenericParameters.find(ownerToken);
    if (found != m_GenericParameters.end()) {
        for (uint32_t row : found->second) {
            names.push_back(String(Cell(T::GenericParam, row, GenericParamNameColumn)));
        }
    }
    return names;
}

uint32_t MetaDataTables::GenericParameterCount(uint32_t ownerToken) const {
    const auto found = m_GenericParameters.find(ownerToken);
    return found == m_GenericParameters.end() ? 0 : static_cast<uint32_t>(found->second.size());
}

std::vector<uint32_t> MetaDataTables::BuildOwners(uint8_t listColumn, MetaDataTable owned,
                                                  MetaDataTable pointers) const {
    const uint32_t ownedRows = Rows(owned);
    const bool indirect = Rows(pointers) > 0;
    // List columns index the pointer table when it has rows, else the owned table itself.
    const uint32_t listRows = indirect ? Rows(pointers) : ownedRows;
    std::vector<uint32_t> owners(static_cast<size_t>(ownedRows) + 1, 0);
    const uint32_t types = Rows(T::TypeDef);
    // Ranges start at the previous range's end, so a list that goes backwards (malformed
    // metadata) cannot make the walk quadratic.
    uint64_t done = 1;
    for (uint32_t type = 1; type <= types; ++type) {
        const uint64_t start = std::max<uint64_t>(Cell(T::TypeDef, type, listColumn), done);
        const uint64_t end = std::min<uint64_t>(
            type < types ? Cell(T::TypeDef, type + 1, listColumn) : uint64_t{listRows} + 1,
            uint64_t{listRows} + 1);
        for (uint64_t position = start; position < end; ++position) {
            const uint32_t row =
                indirect ? Cell(pointers, static_cast<uint32_t>(position), PointerTargetColumn)
                         : static_cast<uint32_t>(position);
            if (row >= 1 && row <= ownedRows && owners[row] == 0) {
                owners[row] = type;
            }
        }
        done = std::max(done, end);
    }
    return owners;
}

void MetaDataTables::BuildNesting() {
    const uint32_t types = Rows(T::TypeDef);
    m_EnclosingTypes.assign(static_cast<size_t>(types) + 1, 0);
    for (uint32_t row = 1; row <= Rows(T::NestedClass); ++row) {
        const uint32_t nested = Cell(T::NestedClass, row, NestedClassNestedColumn);
        const uint32_t enclosing = Cell(T::NestedClass, row, NestedClassEnclosingColumn);
        if (nested >= 1 && nested <= types && enclosing >= 1 && enclosing <= types &&
            nested != enclosing && m_EnclosingTypes[nested] == 0) {
            m_EnclosingTypes[nested] = enclosing;
        }
    }
}

void MetaDataTables::BuildGenericParameters() {
    std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> byOwner;
    for (uint32_t row = 1; row <= Rows(T::GenericParam); ++row) {
        const uint32_t owner = Cell(T::GenericParam, row, GenericParamOwnerColumn);
        // TypeOrMethodDef: one tag bit, TypeDef 0 or MethodDef 1.
        const uint32_t table = (owner & 1) ? N(T::MethodDef) : N(T::TypeDef);
        const uint32_t token = (table << 24) | (owner >> 1);
        byOwner[token].emplace_back(Cell(T::GenericParam, row, GenericParamNumberColumn), row);
    }
    for (auto& [token, parameters] : byOwner) {
        std::stable_sort(parameters.begin(), parameters.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<uint32_t>& rows = m_GenericParameters[token];
        for (const auto& parameter : parameters) {
            rows.push_back(parameter.second);
        }
    }
}

}  // namespace Controller
