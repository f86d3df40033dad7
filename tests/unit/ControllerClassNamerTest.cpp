// Class names composed from class records and the framework's real metadata.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "Bridge/FileBridgeStream.h"
#include "Controller/ClassNamer.h"
#include "Profiler/ModuleImageReader.h"
#include "support/Bytes.h"
#include "support/ClassRecordBytes.h"
#include "support/FrameworkAssemblies.h"

using namespace Controller;

namespace {

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

TEST(ControllerClassNamer, NamesInstantiationsArraysAndFallbacks) {
    const auto framework = FindFrameworkDirectory();
    if (framework.empty()) {
        GTEST_SKIP() << "no .NET shared framework on this machine";
    }
    FileBridgeStream file;
    file.Open(WidePath(framework / "System.Private.CoreLib.dll"), FileBridgeStream::AccessRead);
    Bytes blob;
    ASSERT_TRUE(ReadModuleMetaData(file, blob));
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
