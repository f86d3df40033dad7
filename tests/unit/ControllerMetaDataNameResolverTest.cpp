#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Controller/MetaDataNameResolver.h"
#include "Profiler/ModuleImageReader.h"
#include "support/FrameworkAssemblies.h"
#include "support/MetaDataBlobs.h"

using Controller::MetaDataNameResolver;
using Controller::MetaDataTable;
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
    const std::filesystem::path framework = FindFrameworkDirectory();
    if (framework.empty()) {
        GTEST_SKIP() << "no .NET shared framework on this machine";
    }
    FileBridgeStream stream;
    stream.Open(WidePath(framework / "System.Private.CoreLib.dll"), FileBridgeStream::AccessRead);
    std::vector<BYTE> blob;
    ASSERT_TRUE(ReadModuleMetaData(stream, blob));
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
