// Stable identities from end to end: the gatherers, driven by the test runtime over the real
// module files of the sample program and the framework, write their sections into a file snapshot;
// the controller reads it back and names every function and class. The expected names come from
// the real runtime's reflection (the MetadataOracle program) and from the sample's source.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "Controller/ClassNamer.h"
#include "Controller/MetaDataSection.h"
#include "Controller/ModulePathSection.h"
#include "Controller/SectionTypes.h"
#include "IdentityGatherers.h"
#include "MetadataOracle.h"
#include "support/FrameworkAssemblies.h"
#include "support/ScratchDirectory.h"

using namespace Controller;

namespace {

constexpr mdToken SuspensionToken = 0xFF000001;

bool IsMethod(const std::string& name) {
    return name.find("::") != std::string::npos;
}

const SnapshotSection& SectionOf(const Snapshot& snapshot, uint16_t type) {
    const SnapshotSection* pSection = snapshot.FindSection(type);
    if (pSection == nullptr) {
        throw std::runtime_error("snapshot has no section " + std::to_string(type));
    }
    return *pSection;
}

}  // namespace

TEST(E2EIdentityRoundTrip, FunctionsClassesAndModulesComeBackByName) {
    const std::filesystem::path framework = FindFrameworkDirectory();
    ASSERT_FALSE(framework.empty()) << "no .NET shared framework";
    const MetadataOracle::Output& sample = MetadataOracle::Run(QV_SAMPLE_DLL);
    const MetadataOracle::Output& coreLib = MetadataOracle::Run("corelib");
    ASSERT_GT(sample.names.size(), 10u);

    // The sample is loaded twice, from its build directory and from a copy (one MVID), beside the
    // core library and a dynamic module without file.
    ScratchDirectory scratch;
    const std::filesystem::path copy = scratch.Path() / "Sample.dll";
    std::filesystem::copy_file(QV_SAMPLE_DLL, copy);
    TestRuntime runtime;
    const ModuleID sampleModule = runtime.AddModule({WidePath(QV_SAMPLE_DLL)});
    const ModuleID copyModule = runtime.AddModule({WidePath(copy)});
    const ModuleID coreLibModule =
        runtime.AddModule({WidePath(framework / "System.Private.CoreLib.dll")});
    const ModuleID dynamicModule = runtime.AddModule({WString()});

    IdentityGatherers gatherers(runtime);
    for (ModuleID module : {sampleModule, copyModule, coreLibModule, dynamicModule}) {
        gatherers.LoadModule(module);
    }

    // Every method of the sample, through FunctionIDs of both loads: one fuid per method.
    std::map<DWORD, std::string> functionNames;
    bool fromCopy = false;
    for (const auto& [token, name] : sample.names) {
        if (!IsMethod(name)) {
            continue;
        }
        const DWORD fuid = gatherers.functions.MapFunction(
            runtime.AddFunction(fromCopy ? copyModule : sampleModule, token));
        const DWORD again = gatherers.functions.MapFunction(
            runtime.AddFunction(fromCopy ? sampleModule : copyModule, token));
        EXPECT_EQ(fuid, again) << name;
        EXPECT_TRUE(functionNames.emplace(fuid, name).second) << name;
        fromCopy = !fromCopy;
    }
    const DWORD suspension = gatherers.functions.MapSpecialToken(SuspensionToken);

    // Every sample type deriving from System.Object, and instantiations and arrays over them.
    auto coreClass = [&](const std::string& name) {
        const uint32_t token = MetadataOracle::TokenOf(coreLib, name);
        EXPECT_NE(token, 0u) << name;
        return runtime.AddClass(coreLibModule, token);
    };
    const ClassID object = coreClass("System.Object");
    const ClassID text = coreClass("System.String");
    const ClassID number = coreClass("System.Int32");
    std::map<ClassID, std::string> expectedClasses = {
        {object, "System.Object"}, {text, "System.String"}, {number, "System.Int32"}};
    ClassID worker = 0;
    for (const auto& [token, name] : sample.names) {
        if (!IsMethod(name)) {
            const ClassID cls =
                runtime.AddClass(fromCopy ? copyModule : sampleModule, token, object);
            expectedClasses[cls] = name;
            worker = name == "Sample.Worker" ? cls : worker;
        }
    }
    ASSERT_NE(worker, 0u);
    const uint32_t dictionaryToken =
        MetadataOracle::TokenOf(coreLib, "System.Collections.Generic.Dictionary`2");
    const ClassID dictionary =
        runtime.AddClass(coreLibModule, dictionaryToken, object, {text, worker});
    const ClassID workers = runtime.AddArrayClass(worker, 1);
    const ClassID numbers = runtime.AddArrayClass(number, 1, ELEMENT_TYPE_I4);
    const ClassID jagged = runtime.AddArrayClass(numbers, 1);
    const ClassID grid = runtime.AddArrayClass(text, 2);
    expectedClasses[dictionary] =
        "System.Collections.Generic.Dictionary<System.String,Sample.Worker>";
    expectedClasses[workers] = "Sample.Worker[]";
    expectedClasses[numbers] = "System.Int32[]";
    expectedClasses[jagged] = "System.Int32[][]";
    expectedClasses[grid] = "System.String[,]";
    // Instantiation and arrays first, so their arguments and elements are written after them.
    std::map<ClassID, INT32> positions;
    for (ClassID cls : {dictionary, jagged, grid, workers}) {
        positions[cls] = gatherers.classes.CollectClassId(cls);
    }
    for (const auto& [cls, name] : expectedClasses) {
        positions[cls] = gatherers.classes.CollectClassId(cls);
    }

    // The copy unloads before the snapshot: its metadata is the sample's and stays present.
    gatherers.metaData.UnloadModule(copyModule);
    const Snapshot snapshot = gatherers.WriteAndRead();
    ASSERT_TRUE(snapshot.complete) << snapshot.note;

    // ---- The controller's side
    const auto records = ReadMetaDataSection(SectionOf(snapshot, MetaDataSectionType));
    ASSERT_EQ(records.size(), 2u) << "one record per MVID: the sample and the core library";
    MetaDataNameResolver names;
    for (const auto& record : records) {
        ASSERT_TRUE(names.Add(record.index, record.blob));
        EXPECT_EQ(names.LoadError(record.index), "");
    }

    size_t mismatches = 0;
    std::set<std::string> resolved;
    for (const auto& [fuid, expected] : functionNames) {
        PermanentFunctionData data;
        gatherers.functions.GetFunctionData(fuid, data);
        const std::string name = names.FunctionName(data.metaDataIndex, data.token);
        resolved.insert(name);
        if (name != expected && ++mismatches <= 5) {
            ADD_FAILURE() << "fuid " << fuid << ": " << name << " != " << expected;
        }
    }
    EXPECT_EQ(mismatches, 0u) << "of " << functionNames.size() << " functions";
    for (const char* pKnown :
         {"Sample.Program::Main", "Sample.Workload::Run", "Sample.Worker::Compute",
          "Sample.Worker::Fib", "Sample.Allocator::Fill", "Sample.Allocator::MakeItem",
          "Sample.Faults::ThrowAndCatch", "Sample.Faults::Fail"}) {
        EXPECT_EQ(resolved.count(pKnown), 1u) << pKnown;
    }
    PermanentFunctionData special;
    gatherers.functions.GetFunctionData(suspension, special);
    EXPECT_EQ(special.metaDataIndex, 0u);
    EXPECT_EQ(names.FunctionName(special.metaDataIndex, special.token), "[no metadata] 0xFF000001");

    const ClassTable table = ClassTable::Read(SectionOf(snapshot, ClassDataSectionType),
                                              SectionOf(snapshot, ClassIndexSectionType));
    EXPECT_EQ(table.Records().size(), expectedClasses.size());
    const ClassNamer classNames(table, names);
    for (const auto& [cls, expected] : expectedClasses) {
        EXPECT_EQ(classNames.Name(positions[cls]), expected);
    }
    const ClassRecord* pWorker = table.Find(positions[worker]);
    ASSERT_NE(pWorker, nullptr);
    EXPECT_EQ(pWorker->parent, positions[object]);

    // Module paths: both files of the sample under its one index, the core library under its own,
    // nothing for the dynamic module.
    const auto paths = ReadModulePathSection(SectionOf(snapshot, ModulePathSectionType));
    ASSERT_EQ(paths.size(), 2u);
    std::map<uint32_t, std::set<std::string>> pathsByIndex;
    for (const auto& entry : paths) {
        pathsByIndex[entry.index].insert(entry.paths.begin(), entry.paths.end());
    }
    const uint32_t sampleIndex = gatherers.metaData.GetMetaDataIndex(sampleModule);
    EXPECT_EQ(pathsByIndex[sampleIndex], (std::set<std::string>{QV_SAMPLE_DLL, copy.string()}));
    EXPECT_EQ(pathsByIndex[gatherers.metaData.GetMetaDataIndex(coreLibModule)],
              (std::set<std::string>{(framework / "System.Private.CoreLib.dll").string()}));
    EXPECT_EQ(gatherers.metaData.GetMetaDataIndex(dynamicModule), 0u);
}
