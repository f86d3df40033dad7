#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Profiler/FunctionGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "Util/ComponentMask.h"
#include "support/ErrorText.h"
#include "support/FrameworkAssemblies.h"
#include "support/LogFileLines.h"
#include "support/ModuleFiles.h"
#include "support/ScopedLog.h"
#include "support/TestRuntime.h"

using Operation = TestRuntime::Operation;
namespace fs = std::filesystem;

namespace {

PermanentFunctionData DataOf(FunctionGatherer& gatherer, DWORD fuid) {
    PermanentFunctionData data{0xDEAD, 0xDEAD};
    gatherer.GetFunctionData(fuid, data);
    return data;
}

class FunctionGathererTest : public testing::Test {
protected:
    void SetUp() override {
        m_Framework = FindFrameworkDirectory();
        if (m_Framework.empty()) {
            GTEST_SKIP() << "no .NET shared framework on this machine";
        }
        m_Runtime = m_Framework / "System.Runtime.dll";
        m_Console = m_Framework / "System.Console.dll";
        m_Copy = m_Scratch.Path() / "copy.dll";
        fs::copy_file(m_Runtime, m_Copy);
        m_MetaData.Create();
        m_Functions.Create(&m_Info);
    }
    void TearDown() override {
        m_Functions.Close();
        m_MetaData.Close();
    }
    ModuleID Load(const fs::path& file) {
        ModuleID moduleId = m_Info.AddModule({WidePath(file)});
        m_MetaData.LoadModule(&m_Info, moduleId);
        return moduleId;
    }
    ScopedLog m_Log{ComponentBit(LogComponent::SignatureGt)};
    ScratchDirectory m_Scratch;
    TestRuntime m_Info;
    MetaDataGatherer m_MetaData;
    FunctionGatherer m_Functions{&m_MetaData};
    fs::path m_Framework, m_Runtime, m_Console, m_Copy;
};

TEST_F(FunctionGathererTest, OneFuidPerMethodAcrossLoadsOfTheSameMetadata) {
    const ModuleID runtime = Load(m_Runtime);
    const ModuleID copy = Load(m_Copy);
    const ModuleID console = Load(m_Console);
    const FunctionID first = m_Info.AddFunction(runtime, 0x06000001);
    const FunctionID again = m_Info.AddFunction(copy, 0x06000001, 0x777);
    const FunctionID other = m_Info.AddFunction(console, 0x06000001);
    const FunctionID next = m_Info.AddFunction(runtime, 0x06000002);
    EXPECT_EQ(m_Functions.MapFunction(first), 1u);
    EXPECT_EQ(m_Functions.MapFunction(again), 1u);
    EXPECT_EQ(m_Functions.MapFunction(other), 2u);
    EXPECT_EQ(m_Functions.MapFunction(next), 3u);
    EXPECT_EQ(m_Functions.MapFunction(first), 1u);
    EXPECT_EQ(m_Functions.MapFunction(0), 0u);
    EXPECT_EQ(DataOf(m_Functions, 1), (PermanentFunctionData{1, 0x06000001}));
    EXPECT_EQ(DataOf(m_Functions, 2), (PermanentFunctionData{2, 0x06000001}));
    EXPECT_EQ(DataOf(m_Functions, 3), (PermanentFunctionData{1, 0x06000002}));
    EXPECT_EQ(DataOf(m_Functions, 0), (PermanentFunctionData{0, 0xFF000000}));
    EXPECT_EQ(m_Functions.GetIndexByteCount(), 1);
    const std::vector<std::string> lines = ReadLogLinesAfterRecord();
    const std::string logged = "FG::MapDataToFuid mdi=2 tk=06000001 fuid=" + Hex(2);
    EXPECT_EQ(std::count_if(
                  lines.begin(), lines.end(),
                  [&](const std::string& line) { return line.find(logged) != std::string::npos; }),
              1);
}

TEST_F(FunctionGathererTest, SpecialTokensMapOnceAndNeedTheTopByte) {
    const DWORD fuid = m_Functions.MapSpecialToken(0xFF000003);
    EXPECT_EQ(fuid, 1u);
    EXPECT_EQ(m_Functions.MapSpecialToken(0xFF000003), fuid);
    EXPECT_EQ(m_Functions.MapSpecialToken(0xFF000001), 2u);
    EXPECT_EQ(DataOf(m_Functions, fuid), (PermanentFunctionData{0, 0xFF000003}));
    EXPECT_EQ(ErrorText([&] { m_Functions.MapSpecialToken(0x06000001); }), "Invalid special token");
    EXPECT_EQ(ErrorText([&] { m_Functions.MapSpecialToken(0x7F000001); }), "Invalid special token");

    // Close forgets every fuid.
    m_Functions.Close();
    m_Functions.Create(&m_Info);
    EXPECT_EQ(m_Functions.MapSpecialToken(0xFF000001), 1u);
}

TEST_F(FunctionGathererTest, RuntimeFailures) {
    const FunctionID function = m_Info.AddFunction(Load(m_Runtime), 0x06000004);
    m_Info.FailNext(Operation::GetFunctionInfo, CORPROF_E_DATAINCOMPLETE);
    EXPECT_EQ(m_Functions.MapFunction(function), 0u);
    // Nothing was entered for it: the next pair gets fuid 1.
    EXPECT_EQ(m_Functions.MapSpecialToken(0xFF000002), 1u);
    m_Info.FailNext(Operation::GetFunctionInfo, E_FAIL);
    EXPECT_EQ(ErrorText([&] { m_Functions.MapFunction(function); }),
              "Can't get function info (COM error code 0x80004005)");
    EXPECT_EQ(m_Functions.MapFunction(function), 2u);
    EXPECT_EQ(ErrorText([&] { m_Functions.Create(nullptr); }), "Invalid profiler info interface");
}

// Many threads map overlapping FunctionIDs while modules of the same files load and unload.
TEST_F(FunctionGathererTest, ConcurrentMappingGivesOneDenseFuidPerPair) {
    constexpr DWORD Tokens = 200;
    constexpr int Threads = 4;
    // Runtime and copy share their MVID: three distinct indexes, 600 distinct pairs, which spans
    // several storage segments of the function list.
    const fs::path renumbered =
        CopyModuleWithMvid(m_Runtime, m_Scratch.Path() / "other.dll", NumberedMvid(1));
    const std::vector<fs::path> files = {m_Runtime, m_Copy, m_Console, renumbered};
    std::vector<ModuleID> modules;
    std::vector<FunctionID> functionIds;
    std::map<FunctionID, std::pair<size_t, DWORD>> fileAndToken;
    for (size_t file = 0; file < files.size(); ++file) {
        modules.push_back(Load(files[file]));
        for (DWORD token = 0x06000001; token < 0x06000001 + Tokens; ++token) {
            functionIds.push_back(m_Info.AddFunction(modules.back(), token));
            fileAndToken[functionIds.back()] = {file, token};
        }
    }
    std::vector<std::map<FunctionID, DWORD>> seen(Threads);
    std::vector<std::string> failures(Threads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            try {
                std::vector<FunctionID> order = functionIds;
                std::shuffle(order.begin(), order.end(), std::mt19937(t));
                for (FunctionID functionId : order) {
                    const DWORD fuid = m_Functions.MapFunction(functionId);
                    seen[t][functionId] = fuid;
                    const PermanentFunctionData data = DataOf(m_Functions, fuid);
                    if (data.token != fileAndToken[functionId].second) {
                        failures[t] = "fuid " + std::to_string(fuid) + " names another token";
                    }
                }
            } catch (const std::exception& e) {
                failures[t] = e.what();
            }
        });
    }
    threads.emplace_back([&] {
        try {
            for (int round = 0; round < 20; ++round) {
                const ModuleID moduleId = Load(files[round % files.size()]);
                m_MetaData.GetMetaDataIndex(moduleId);
                m_MetaData.UnloadModule(moduleId);
            }
        } catch (const std::exception& e) {
            failures[Threads] = e.what();
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::string& failure : failures) {
        EXPECT_EQ(failure, "");
    }

    // Every thread saw the same fuid for a FunctionID, and equal pairs share it.
    std::map<std::pair<DWORD, DWORD>, DWORD> fuidOfPair;
    std::set<DWORD> fuids;
    for (FunctionID functionId : functionIds) {
        const DWORD fuid = seen[0].at(functionId);
        for (int t = 1; t < Threads; ++t) {
            ASSERT_EQ(seen[t].at(functionId), fuid);
        }
        const DWORD index = m_MetaData.GetMetaDataIndex(modules[fileAndToken[functionId].first]);
        const auto pair = std::make_pair(index, fileAndToken[functionId].second);
        auto [entry, added] = fuidOfPair.emplace(pair, fuid);
        EXPECT_EQ(entry->second, fuid);
        EXPECT_EQ(DataOf(m_Functions, fuid), (PermanentFunctionData{pair.first, pair.second}));
        fuids.insert(fuid);
    }
    EXPECT_EQ(fuidOfPair.size(), 3 * Tokens);
    EXPECT_EQ(fuids.size(), 3 * Tokens);
    EXPECT_EQ(*fuids.begin(), 1u);
    EXPECT_EQ(*fuids.rbegin(), 3 * Tokens);
}

}  // namespace
