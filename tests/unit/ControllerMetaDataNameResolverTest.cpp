#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Controller/ClassNamer.h"
#include "Controller/MetaDataNameResolver.h"
#include "Profiler/ModuleImageReader.h"
#include "support/ClassRecordBytes.h"
#include "support/FrameworkAssemblies.h"
#include "support/MetaDataBlobs.h"

using namespace Controller;
using Names = std::vector<std::string>;

namespace {

// Two TypeDefs, each nested in the other.
Bytes NestingLoop() {
    MetaDataBlobs::StringHeap strings;
    const uint16_t a = static_cast<uint16_t>(strings.Add("A"));
    const uint16_t b = static_cast<uint16_t>(strings.Add("B"));
    const uint64_t valid = 1 | (1 << 0x02) | (uint64_t{1} << 0x29);
    const Bytes moduleRow = Concat({Le16(0), Le16(0), Le16(1), Le16(0), Le16(0)});
    auto typeDef = [](uint16_t name) {
        return Concat({Le32(0), Le16(name), Le16(0), Le16(0), Le16(1), Le16(1)});
    };
    const Bytes nesting = Concat({Le16(1), Le16(2), Le16(2), Le16(1)});
    const Bytes tables = Concat({MetaDataBlobs::TablesHeader(0, valid, {1, 2, 2}), moduleRow,
                                 typeDef(a), typeDef(b), nesting});
    return MetaDataBlobs::Root({{"#~", tables},
                                {"#Strings", strings.GetBytes()},
                                {"#GUID", MetaDataBlobs::CraftedMvid()}});
}

// The core library's metadata from the machine's shared framework, or nothing without one.
Bytes CoreLibMetaData() {
    const std::filesystem::path framework = FindFrameworkDirectory();
    Bytes blob;
    if (!framework.empty()) {
        FileBridgeStream stream;
        stream.Open(WidePath(framework / "System.Private.CoreLib.dll"),
                    FileBridgeStream::AccessRead);
        EXPECT_TRUE(ReadModuleMetaData(stream, blob));
    }
    return blob;
}

constexpr uint32_t CoreLib = 4;

// Records appended back to back, as the class gatherer writes them; positions come back in order.
class ClassData {
public:
    int64_t Add(const Bytes& record) {
        const int64_t position = static_cast<int64_t>(m_Data.size());
        m_Data = Concat({m_Data, record});
        m_Index = Concat({m_Index, Le64(position)});
        ++m_Count;
        return position;
    }
    ClassTable Table() const {
        SnapshotSection data;
        data.bytes = m_Data;
        SnapshotSection index;
        index.bytes = Concat({Le32(m_Count), m_Index});
        return ClassTable::Read(data, index);
    }

private:
    Bytes m_Data;
    Bytes m_Index;
    uint32_t m_Count = 0;
};

// TypeDef tokens of top-level CoreLib types by full name.
std::map<std::string, uint32_t> TopLevelTypes(const MetaDataTables& tables) {
    std::map<std::string, uint32_t> tokens;
    for (uint32_t row = 1; row <= tables.RowCount(MetaDataTable::TypeDef); ++row) {
        if (tables.EnclosingType(row) == 0) {
            tokens[tables.TypeDefNamespace(row) + "." + tables.TypeDefName(row)] = 0x02000000 | row;
        }
    }
    return tokens;
}

}  // namespace

TEST(ControllerMetaDataNameResolver, NamesCraftedModuleInBothForms) {
    for (bool uncompressed : {false, true}) {
        SCOPED_TRACE(uncompressed ? "#-" : "#~");
        MetaDataNameResolver resolver;
        ASSERT_TRUE(resolver.Add(3, MetaDataBlobs::CraftedMetaData(uncompressed)));
        EXPECT_EQ("", resolver.LoadError(3));

        EXPECT_EQ("<Module>", resolver.TypeName(3, 0x02000001));
        EXPECT_EQ("N.S.Outer`2", resolver.TypeName(3, 0x02000002));
        EXPECT_EQ("N.S.Outer`2+Inner", resolver.TypeName(3, 0x02000003));
        EXPECT_EQ("Top\\+Level", resolver.TypeName(3, 0x02000004));
        EXPECT_EQ("N.S.Outer+Inner", resolver.TypeNameWithoutArity(3, 0x02000003));
        EXPECT_EQ("System.Object", resolver.TypeName(3, 0x01000001));
        EXPECT_EQ("System.Environment+Entry", resolver.TypeName(3, 0x01000002));

        const std::map<uint32_t, std::string> functions =
            uncompressed ? std::map<uint32_t, std::string>{{1, "N.S.Outer`2+Inner::Go"},
                                                           {2, "Top\\+Level::Get"},
                                                           {3, "N.S.Outer`2::.ctor"},
                                                           {4, "N.S.Outer`2::Run"}}
                         : std::map<uint32_t, std::string>{{1, "N.S.Outer`2::.ctor"},
                                                           {2, "N.S.Outer`2::Run"},
                                                           {3, "N.S.Outer`2+Inner::Go"},
                                                           {4, "Top\\+Level::Get"}};
        for (const auto& [row, name] : functions) {
            EXPECT_EQ(name, resolver.FunctionName(3, 0x06000000 | row));
        }
        EXPECT_EQ(uncompressed ? "Top\\+Level::level" : "N.S.Outer`2::count",
                  resolver.FieldName(3, 0x04000001));

        EXPECT_EQ(2u, resolver.GenericParameterCount(3, 0x02000003));
        EXPECT_EQ((Names{"K", "V"}), resolver.GenericParameterNames(3, 0x02000002));
        EXPECT_EQ((Names{"U"}),
                  resolver.GenericParameterNames(3, uncompressed ? 0x06000002 : 0x06000004));
    }
}

TEST(ControllerMetaDataNameResolver, FallsBackWithoutThrowing) {
    MetaDataNameResolver resolver;
    ASSERT_TRUE(resolver.Add(3, MetaDataBlobs::CraftedMetaData(false)));
    EXPECT_FALSE(resolver.Add(3, MetaDataBlobs::CraftedMetaData(true)));  // the first stays
    EXPECT_EQ("N.S.Outer`2::.ctor", resolver.FunctionName(3, 0x06000001));
    EXPECT_FALSE(resolver.Add(0, MetaDataBlobs::CraftedMetaData(false)));
    EXPECT_FALSE(resolver.Contains(0));

    EXPECT_TRUE(resolver.Add(4, {1, 2, 3}));
    EXPECT_FALSE(resolver.Add(4, MetaDataBlobs::CraftedMetaData(false)));
    EXPECT_TRUE(resolver.Contains(4));
    EXPECT_EQ(nullptr, resolver.Tables(4));
    EXPECT_EQ("Metadata root is cut short", resolver.LoadError(4));
    EXPECT_EQ("[metadata 4: Metadata root is cut short] 0x06000012",
              resolver.FunctionName(4, 0x06000012));

    EXPECT_EQ("[no metadata] 0x06000012", resolver.FunctionName(0, 0x06000012));
    EXPECT_EQ("[no metadata 9] 0x02000001", resolver.TypeName(9, 0x02000001));
    EXPECT_EQ("[no metadata] 0x02000001", resolver.TypeNameWithoutArity(0, 0x02000001));
    EXPECT_EQ("[metadata 3] 0x06001234", resolver.FunctionName(3, 0x06001234));
    EXPECT_EQ("[metadata 3] 0x02000002", resolver.FunctionName(3, 0x02000002));
    EXPECT_EQ("[metadata 3] 0x06000001", resolver.TypeName(3, 0x06000001));
    EXPECT_EQ("[metadata 3] 0x04000000", resolver.FieldName(3, 0x04000000));
    EXPECT_EQ("[metadata 3] 0x01000009", resolver.TypeNameWithoutArity(3, 0x01000009));
    EXPECT_EQ(0u, resolver.GenericParameterCount(9, 0x02000002));
    EXPECT_TRUE(resolver.GenericParameterNames(4, 0x02000002).empty());

    ASSERT_TRUE(resolver.Add(5, NestingLoop()));
    EXPECT_EQ("", resolver.LoadError(5));
    EXPECT_EQ("[metadata 5] 0x02000001", resolver.TypeName(5, 0x02000001));
}

TEST(ControllerMetaDataNameResolver, StripArityOfEveryLevel) {
    EXPECT_EQ(
        "System.Collections.Generic.Dictionary+KeyCollection",
        MetaDataNameResolver::StripArity("System.Collections.Generic.Dictionary`2+KeyCollection"));
    EXPECT_EQ("N.A+B+C", MetaDataNameResolver::StripArity("N.A`1+B`12+C"));
    EXPECT_EQ("A\\+B", MetaDataNameResolver::StripArity("A\\+B`1"));
    EXPECT_EQ("A`x+B`", MetaDataNameResolver::StripArity("A`x+B`"));
    EXPECT_EQ("Plain", MetaDataNameResolver::StripArity("Plain"));
}

TEST(ControllerMetaDataNameResolver, NamesCoreLibraryTypes) {
    const Bytes blob = CoreLibMetaData();
    if (blob.empty()) {
        GTEST_SKIP() << "no .NET shared framework on this machine";
    }
    MetaDataNameResolver resolver;
    resolver.Add(1, blob);
    const Controller::MetaDataTables* pTables = resolver.Tables(1);
    ASSERT_NE(nullptr, pTables) << resolver.LoadError(1);
    const GUID mvid = pTables->Mvid();
    EXPECT_EQ(0, std::memcmp(&mvid, FindModuleMvid(blob), 16));

    std::map<std::string, uint32_t> types;
    for (uint32_t row = 1; row <= pTables->RowCount(MetaDataTable::TypeDef); ++row) {
        types[resolver.TypeName(1, 0x02000000 | row)] = 0x02000000 | row;
    }
    EXPECT_EQ(1u, types.count("System.String"));
    EXPECT_EQ(1u, types.count("System.Environment+SpecialFolder"));
    ASSERT_EQ(1u, types.count("System.Collections.Generic.List`1"));
    const uint32_t list = types["System.Collections.Generic.List`1"];
    EXPECT_EQ((Names{"T"}), resolver.GenericParameterNames(1, list));
    EXPECT_EQ(1u, resolver.GenericParameterCount(
                      1, types["System.Collections.Generic.List`1+Enumerator"]));
    EXPECT_EQ(
        "System.Collections.Generic.List+Enumerator",
        resolver.TypeNameWithoutArity(1, types["System.Collections.Generic.List`1+Enumerator"]));

    bool hasAdd = false;
    for (uint32_t row = 1; row <= pTables->RowCount(MetaDataTable::MethodDef); ++row) {
        hasAdd |=
            resolver.FunctionName(1, 0x06000000 | row) == "System.Collections.Generic.List`1::Add";
    }
    EXPECT_TRUE(hasAdd);
}

TEST(ControllerClassNamer, NamesInstantiationsArraysAndFallbacks) {
    const Bytes blob = CoreLibMetaData();
    if (blob.empty()) {
        GTEST_SKIP() << "no .NET shared framework on this machine";
    }
    MetaDataNameResolver names;
    ASSERT_TRUE(names.Add(CoreLib, blob));
    auto types = TopLevelTypes(*names.Tables(CoreLib));
    const uint32_t dictionary = types.at("System.Collections.Generic.Dictionary`2");

    // Dictionary<String,Int32[]> written before its arguments, as the gatherer does; an int
    // array whose element record comes after it; Int32[][]; a rank-3 String array; a record the
    // runtime could not describe; one that names itself as its argument; one of a module whose
    // metadata the snapshot lacks. Positions follow from the record sizes (22 + 8 per argument).
    const int64_t map = 0, text = 38, ints = 60, number = 82, jagged = 104, cube = 126,
                  undescribed = 148, selfish = 170, unknownModule = 200;
    ClassData data;
    EXPECT_EQ(data.Add(ClassRecordBytes(CoreLib, dictionary, 0, -1, {text, ints})), map);
    EXPECT_EQ(data.Add(ClassRecordBytes(CoreLib, types.at("System.String"), 0, -1, {})), text);
    EXPECT_EQ(data.Add(ClassRecordBytes(CoreLib, 0xFE000000, 1, number, {})), ints);
    EXPECT_EQ(data.Add(ClassRecordBytes(CoreLib, types.at("System.Int32"), 0, -1, {})), number);
    EXPECT_EQ(data.Add(ClassRecordBytes(CoreLib, 0xFE000000, 1, ints, {})), jagged);
    EXPECT_EQ(data.Add(ClassRecordBytes(CoreLib, 0xFE000000, 3, text, {})), cube);
    EXPECT_EQ(data.Add(ClassRecordBytes(0, 0xFE000000, 0, -1, {})), undescribed);
    EXPECT_EQ(data.Add(ClassRecordBytes(CoreLib, types.at("System.Nullable`1"), 0, -1, {selfish})),
              selfish);
    EXPECT_EQ(data.Add(ClassRecordBytes(9, 0x02000003, 0, -1, {})), unknownModule);
    // Caught mid-write by a snapshot: a generic class, an array, one without a description.
    const int64_t halfGeneric = data.Add(UnfinishedClassRecordBytes(CoreLib, dictionary, 0, 2));
    const int64_t halfArray = data.Add(UnfinishedClassRecordBytes(CoreLib, 0xFE000000, 2, 0));
    const int64_t halfUndescribed = data.Add(UnfinishedClassRecordBytes(0, 0xFE000000, 0, 0));
    const ClassTable table = data.Table();
    const ClassNamer namer(table, names);

    EXPECT_EQ(namer.Name(map),
              "System.Collections.Generic.Dictionary<System.String,System.Int32[]>");
    EXPECT_EQ(namer.Name(text), "System.String");
    EXPECT_EQ(namer.Name(ints), "System.Int32[]");
    EXPECT_EQ(namer.Name(jagged), "System.Int32[][]");
    EXPECT_EQ(namer.Name(cube), "System.String[,,]");
    EXPECT_EQ(namer.Name(undescribed), "[undescribed class]");
    EXPECT_EQ(namer.Name(selfish), "System.Nullable<...>");
    EXPECT_EQ(namer.Name(unknownModule), "[no metadata 9] 0x02000003");
    EXPECT_EQ(namer.Name(-1), "[no class]");
    EXPECT_EQ(namer.Name(5), "[class position 5]");
    EXPECT_EQ(namer.Name(halfGeneric), "System.Collections.Generic.Dictionary`2 [incomplete]");
    EXPECT_EQ(namer.Name(halfArray), "[incomplete class][,]");
    EXPECT_EQ(namer.Name(halfUndescribed), "[incomplete class]");
}
