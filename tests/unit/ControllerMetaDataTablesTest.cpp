#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>

#include "Controller/MetaDataTables.h"
#include "support/ErrorText.h"
#include "support/MetaDataBlobs.h"

using Controller::MetaDataTable;
using Controller::MetaDataTables;

namespace {

Bytes MvidBytes(const MetaDataTables& tables) {
    const GUID mvid = tables.Mvid();
    return GuidBytes(mvid);
}

std::string ParseFailure(const Bytes& blob) {
    return ErrorText([&blob] { MetaDataTables tables(blob); });
}

// Offsets into the crafted "#~" blob, from its documented layout: 16-byte root header, 12-byte
// version, flags and count, then five stream headers (#Blob 16, #US 12, #~ 12, #Strings 20,
// #GUID 16 bytes).
constexpr size_t StreamCountOffset = 30;
constexpr size_t FirstStreamHeader = 32;
constexpr size_t TablesHeaderOffset = FirstStreamHeader + 16 + 12;
constexpr size_t StringsHeaderOffset = TablesHeaderOffset + 12;
constexpr size_t GuidHeaderOffset = StringsHeaderOffset + 20;

uint32_t U32At(const Bytes& bytes, size_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

void PutU32(Bytes& bytes, size_t offset, uint32_t value) {
    const Bytes le = Le32(value);
    std::copy(le.begin(), le.end(), bytes.begin() + offset);
}

}  // namespace

TEST(ControllerMetaDataTables, ReadsHandBuiltCompressedTables) {
    const MetaDataTables tables(MetaDataBlobs::CraftedMetaData(false));
    EXPECT_FALSE(tables.IsUncompressed());
    EXPECT_EQ(MetaDataBlobs::CraftedMvid(), MvidBytes(tables));
    EXPECT_EQ(4u, tables.RowCount(MetaDataTable::TypeDef));
    EXPECT_EQ(0u, tables.RowCount(MetaDataTable::MethodPtr));

    EXPECT_EQ("Outer`2", tables.TypeDefName(2));
    EXPECT_EQ("N.S", tables.TypeDefNamespace(2));
    EXPECT_EQ("", tables.TypeDefNamespace(3));
    EXPECT_EQ(2u, tables.EnclosingType(3));
    EXPECT_EQ(0u, tables.EnclosingType(2));

    const uint32_t methodOwners[] = {2, 2, 3, 4};
    const char* methodNames[] = {".ctor", "Run", "Go", "Get"};
    for (uint32_t row = 1; row <= 4; ++row) {
        EXPECT_EQ(methodOwners[row - 1], tables.MethodOwner(row)) << row;
        EXPECT_EQ(methodNames[row - 1], tables.MethodName(row)) << row;
    }
    EXPECT_EQ(2u, tables.FieldOwner(1));
    EXPECT_EQ(4u, tables.FieldOwner(2));
    EXPECT_EQ("level", tables.FieldName(2));

    EXPECT_EQ("Entry", tables.TypeRefName(2));
    EXPECT_EQ("System", tables.TypeRefNamespace(3));
    EXPECT_EQ(3u, tables.TypeRefEnclosing(2));
    EXPECT_EQ(0u, tables.TypeRefEnclosing(1));  // an assembly reference

    EXPECT_EQ((std::vector<std::string>{"K", "V"}), tables.GenericParameterNames(0x02000002));
    EXPECT_EQ(2u, tables.GenericParameterCount(0x02000003));
    EXPECT_EQ((std::vector<std::string>{"U"}), tables.GenericParameterNames(0x06000004));
    EXPECT_EQ(0u, tables.GenericParameterCount(0x02000004));
    EXPECT_EQ(0u, tables.GenericParameterCount(0x04000002));
}

TEST(ControllerMetaDataTables, FollowsPointerTablesOfUncompressedStream) {
    const MetaDataTables tables(MetaDataBlobs::CraftedMetaData(true));
    EXPECT_TRUE(tables.IsUncompressed());
    EXPECT_EQ(MetaDataBlobs::CraftedMvid(), MvidBytes(tables));
    EXPECT_EQ("Top+Level", tables.TypeDefName(4));
    // MethodPtr 3, 4, 1, 2 under MethodList 1, 1, 3, 4.
    const uint32_t methodOwners[] = {3, 4, 2, 2};
    for (uint32_t row = 1; row <= 4; ++row) {
        EXPECT_EQ(methodOwners[row - 1], tables.MethodOwner(row)) << row;
    }
    EXPECT_EQ(4u, tables.FieldOwner(1));
    EXPECT_EQ(2u, tables.FieldOwner(2));
    EXPECT_EQ((std::vector<std::string>{"U"}), tables.GenericParameterNames(0x06000002));
}

TEST(ControllerMetaDataTables, WidensIndexesOfLargeTables) {
    // 65536 Field rows make TypeDef.FieldList 4 bytes; 16384 TypeSpec rows make the 2-tag-bit
    // coded TypeDefOrRef (TypeDef.Extends) 4 bytes.
    MetaDataBlobs::StringHeap strings;
    const uint16_t name = static_cast<uint16_t>(strings.Add("Wide"));
    const uint16_t fieldName = static_cast<uint16_t>(strings.Add("f"));
    const uint16_t methodName = static_cast<uint16_t>(strings.Add("M"));
    const Bytes field = Concat({Le16(0), Le16(fieldName), Le16(0)});  // Flags, Name, Signature
    Bytes fieldRows;
    for (uint32_t row = 0; row < 65536; ++row) {
        fieldRows.insert(fieldRows.end(), field.begin(), field.end());
    }
    const uint64_t valid = 1 | (1 << 0x02) | (1 << 0x04) | (1 << 0x06) | (1 << 0x1B);
    // Rows column by column; TypeDef.Extends and TypeDef.FieldList take 4 bytes.
    const Bytes moduleRow = Concat({Le16(0), Le16(0), Le16(1), Le16(0), Le16(0)});
    const Bytes typeDef1 = Concat({Le32(0), Le16(0), Le16(0), Le32(0), Le32(1), Le16(1)});
    const Bytes typeDef2 =
        Concat({Le32(0), Le16(name), Le16(0), Le32(16384 << 2 | 2), Le32(65536), Le16(1)});
    const Bytes methodRow = Concat({Le32(0), Le16(0), Le16(0), Le16(methodName), Le16(0), Le16(1)});
    const Bytes typeSpecRows(16384 * 2, 0);
    const Bytes tablesStream =
        Concat({MetaDataBlobs::TablesHeader(0, valid, {1, 2, 65536, 1, 16384}), moduleRow, typeDef1,
                typeDef2, fieldRows, methodRow, typeSpecRows});
    const MetaDataTables tables(MetaDataBlobs::Root({{"#~", tablesStream},
                                                     {"#Strings", strings.GetBytes()},
                                                     {"#GUID", MetaDataBlobs::CraftedMvid()}}));
    EXPECT_EQ("Wide", tables.TypeDefName(2));
    EXPECT_EQ(1u, tables.FieldOwner(65535));
    EXPECT_EQ(2u, tables.FieldOwner(65536));
    EXPECT_EQ("f", tables.FieldName(65536));
    EXPECT_EQ(2u, tables.MethodOwner(1));
    EXPECT_EQ("M", tables.MethodName(1));
}

TEST(ControllerMetaDataTables, EveryTruncationRaisesAClearError) {
    const std::set<std::string> expected = {"Metadata root is cut short",
                                            "Metadata stream headers are cut short",
                                            "Metadata stream name is not terminated",
                                            "Metadata stream '#~' lies outside the metadata",
                                            "Metadata stream '#-' lies outside the metadata",
                                            "Metadata stream '#Strings' lies outside the metadata",
                                            "Metadata stream '#GUID' lies outside the metadata"};
    for (bool uncompressed : {false, true}) {
        const Bytes blob = MetaDataBlobs::CraftedMetaData(uncompressed);
        for (size_t size = 0; size < blob.size(); ++size) {
            const std::string error = ParseFailure(Bytes(blob.begin(), blob.begin() + size));
            EXPECT_EQ(1u, expected.count(error)) << "size " << size << ": '" << error << "'";
        }
    }
}

TEST(ControllerMetaDataTables, BadStructuresRaiseNamedErrors) {
    const Bytes good = MetaDataBlobs::CraftedMetaData(false);
    auto corrupt = [&good](size_t offset, uint32_t value) {
        Bytes bad = good;
        PutU32(bad, offset, value);
        return bad;
    };
    EXPECT_EQ("Invalid metadata signature", ParseFailure(corrupt(0, 0x424A5343)));
    EXPECT_EQ("Metadata root is cut short", ParseFailure(corrupt(12, 0xFFFFFFF0)));
    EXPECT_EQ("Metadata stream headers are cut short",
              ParseFailure(Bytes(good.begin(), good.begin() + FirstStreamHeader + 6)));
    Bytes longName = good;  // 32 characters without a terminator
    std::fill(longName.begin() + FirstStreamHeader + 8, longName.begin() + FirstStreamHeader + 40,
              'A');
    EXPECT_EQ("Metadata stream name is not terminated", ParseFailure(longName));
    // Streams beyond the headers' end: the sixth header is read from the stream data.
    EXPECT_NE("(nothing raised)", ParseFailure(corrupt(StreamCountOffset - 2, 0x7FFF0000)));
    EXPECT_EQ("Metadata stream '#Strings' lies outside the metadata",
              ParseFailure(corrupt(StringsHeaderOffset + 4, 0xFFFFFFFF)));
    // Renaming the tables stream leaves none.
    EXPECT_EQ("Can't find #~ or #- stream", ParseFailure(corrupt(TablesHeaderOffset + 8, 0x7E7E)));

    // A row count larger than the stream: TypeDef's count is the third after the header.
    const size_t tables = U32At(good, TablesHeaderOffset);
    EXPECT_EQ("Metadata tables stream is cut short",
              ParseFailure(corrupt(tables + 24 + 8, 0x01000000)));
    // The tables stream shorter than its fixed header.
    EXPECT_EQ("Metadata tables stream is cut short",
              ParseFailure(corrupt(TablesHeaderOffset + 4, 20)));

    // Heap entries are checked when read.
    const Bytes badGuid = corrupt(GuidHeaderOffset + 4, 8);  // GUID heap of half a GUID
    EXPECT_EQ("GUID heap index out of range", ErrorText([&] { MetaDataTables(badGuid).Mvid(); }));
    const size_t strings = U32At(good, StringsHeaderOffset);
    const size_t stringsSize = U32At(good, StringsHeaderOffset + 4);
    const MetaDataTables parsed(good);
    Bytes unterminated = good;
    std::fill(unterminated.begin() + strings + 1, unterminated.begin() + strings + stringsSize,
              'x');
    EXPECT_EQ("String heap entry is not terminated",
              ErrorText([&] { MetaDataTables(unterminated).TypeDefName(2); }));
    const Bytes shortStrings = corrupt(StringsHeaderOffset + 4, 4);
    EXPECT_EQ("String heap index out of range",
              ErrorText([&] { MetaDataTables(shortStrings).TypeDefName(2); }));
    EXPECT_EQ("Row 5 of metadata table 0x02 is out of range",
              ErrorText([&] { parsed.TypeDefName(5); }));
    EXPECT_EQ("Row 0 of metadata table 0x06 is out of range",
              ErrorText([&] { parsed.MethodOwner(0); }));
}
