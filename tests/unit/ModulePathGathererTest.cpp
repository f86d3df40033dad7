#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Profiler/MetaDataGatherer.h"
#include "Profiler/ModulePathGatherer.h"
#include "support/ErrorText.h"
#include "support/FrameworkAssemblies.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ModuleFiles.h"
#include "support/ProgressRecorder.h"
#include "support/ScratchDirectory.h"
#include "support/TestRuntime.h"
#include "support/WireBytes.h"

using namespace WireBytes;
using Operation = TestRuntime::Operation;
namespace fs = std::filesystem;

namespace {

class ModulePathGathererTest : public testing::Test {
protected:
    void SetUp() override {
        m_Framework = FindFrameworkDirectory();
        if (m_Framework.empty()) {
            GTEST_SKIP() << "no .NET shared framework on this machine";
        }
        m_Runtime = m_Framework / "System.Runtime.dll";
        m_MetaData.Create();
        m_Paths.Create(&m_Info);
    }
    void TearDown() override {
        m_Paths.Close();
        m_MetaData.Close();
    }
    ModuleID Declare(const fs::path& file) {
        ModuleID moduleId = m_Info.AddModule({file.empty() ? WString() : WidePath(file)});
        m_MetaData.LoadModule(&m_Info, moduleId);
        return moduleId;
    }
    MemorySnapShotStorage::Section Snapshot(std::vector<std::string> expectedProgress) {
        MemorySnapShotStorage storage;
        ProgressRecorder progress;
        m_Paths.Write(&progress, &storage);
        EXPECT_EQ(progress.m_Calls, expectedProgress);
        EXPECT_EQ(storage.Closed().size(), 1u);
        return storage.Closed().at(0);
    }
    ScratchDirectory m_Scratch;
    TestRuntime m_Info;
    MetaDataGatherer m_MetaData;
    ModulePathGatherer m_Paths{&m_MetaData};
    fs::path m_Framework, m_Runtime;
};

TEST_F(ModulePathGathererTest, PathsMergePerIndexAndSkipModulesWithoutMetadata) {
    // Two names that order differently by code unit than by creation.
    const fs::path copyB = m_Scratch.Path() / "b.dll";
    const fs::path copyA = m_Scratch.Path() / "a.dll";
    fs::copy_file(m_Runtime, copyB);
    fs::copy_file(m_Runtime, copyA);
    const fs::path console = m_Framework / "System.Console.dll";
    const fs::path text = m_Scratch.Path() / "notes.txt";
    std::ofstream(text) << std::string(200, 'x');
    for (const fs::path& file : {copyB, m_Runtime, console, m_Runtime, copyA, text, fs::path()}) {
        m_Paths.LoadModule(Declare(file));
    }
    const auto section = Snapshot({"Begin 2", "End"});
    EXPECT_EQ(section.type, 0x110);
    EXPECT_EQ(section.version, 0);
    // Index 1: the three files with the runtime's MVID, in code unit order.
    EXPECT_EQ(section.content, Concat({{1},
                                       U32(2),
                                       {1},
                                       U16(3),
                                       Text(copyA.string()),
                                       Text(copyB.string()),
                                       Text(m_Runtime.string()),
                                       {2},
                                       U16(1),
                                       Text(console.string())}));

    // The paths outlive Close; a new interface is needed for loads only.
    m_Paths.Close();
    EXPECT_EQ(Snapshot({"Begin 2", "End"}).content, section.content);
    m_Paths.Create(&m_Info);
}

TEST_F(ModulePathGathererTest, EmptySectionAndFailures) {
    EXPECT_EQ(Snapshot({"Begin 0", "End"}).content, Concat({{1}, U32(0)}));
    EXPECT_EQ(ErrorText([&] { m_Paths.Create(nullptr); }), "Invalid profiler info interface");
    EXPECT_EQ(ErrorText([&] { m_Paths.LoadModule(0x4321); }), "Inconsistent module asking");
    const ModuleID module = Declare(m_Runtime);
    ASSERT_EQ(m_MetaData.GetMetaDataIndex(module), 1u);
    m_Info.FailNext(Operation::GetModuleInfo, E_FAIL);
    EXPECT_EQ(ErrorText([&] { m_Paths.LoadModule(module); }),
              "Can't get module info (COM error code 0x80004005)");
}

TEST_F(ModulePathGathererTest, IndexesTakeTwoBytesAfter300AndComeInIndexOrder) {
    constexpr DWORD Count = 300;
    std::vector<ModuleID> modules;
    std::vector<fs::path> files;
    for (DWORD number = 1; number <= Count; ++number) {
        files.push_back(m_Scratch.Path() / ("m" + std::to_string(number) + ".dll"));
        CopyModuleWithMvid(m_Runtime, files.back(), NumberedMvid(number));
        modules.push_back(Declare(files.back()));
        ASSERT_EQ(m_MetaData.GetMetaDataIndex(modules.back()), number);
    }
    // Paths arrive in reverse index order; the section still lists them by index.
    for (size_t i = modules.size(); i-- > 0;) {
        m_Paths.LoadModule(modules[i]);
    }
    Bytes expected = Concat({{2}, U32(Count)});
    for (DWORD index = 1; index <= Count; ++index) {
        expected = Concat(
            {expected, U16(static_cast<uint16_t>(index)), U16(1), Text(files[index - 1].string())});
    }
    EXPECT_EQ(Snapshot({"Begin 300", "End"}).content, expected);
}

}  // namespace
