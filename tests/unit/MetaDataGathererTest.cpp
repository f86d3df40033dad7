#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Profiler/CopyStream.h"
#include "Profiler/MetaDataGatherer.h"
#include "Util/ComponentMask.h"
#include "support/ErrorText.h"
#include "support/FrameworkAssemblies.h"
#include "support/LogFileLines.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ModuleFiles.h"
#include "support/ProgressRecorder.h"
#include "support/ScopedLog.h"
#include "support/TestRuntime.h"
#include "support/WireBytes.h"

using namespace WireBytes;
using Operation = TestRuntime::Operation;
namespace fs = std::filesystem;

namespace {

// A metadata record as the section and the temporary file carry it.
Bytes Record(DWORD index, const Bytes& blob) {
    return Concat({U32(index), U32(static_cast<uint32_t>(blob.size())), blob});
}

bool LogContains(const std::string& text) {
    for (const std::string& line : ReadLogLinesAfterRecord()) {
        if (line.size() >= text.size() &&
            line.compare(line.size() - text.size(), text.size(), text) == 0) {
            return true;
        }
    }
    return false;
}

class MetaDataGathererTest : public testing::Test {
protected:
    void SetUp() override {
        m_Framework = FindFrameworkDirectory();
        if (m_Framework.empty()) {
            GTEST_SKIP() << "no .NET shared framework on this machine";
        }
        m_Runtime = m_Framework / "System.Runtime.dll";
        m_Console = m_Framework / "System.Console.dll";
        m_Gatherer.Create();
    }
    void TearDown() override { m_Gatherer.Close(); }
    ModuleID Load(const fs::path& file) {
        ModuleID moduleId = m_Info.AddModule({WidePath(file)});
        m_Gatherer.LoadModule(&m_Info, moduleId);
        return moduleId;
    }
    MemorySnapShotStorage::Section Snapshot() {
        MemorySnapShotStorage storage;
        ProgressRecorder progress;
        m_Gatherer.Write(&progress, &storage);
        EXPECT_EQ(storage.OpenCount(), 0u);
        EXPECT_EQ(progress.m_Calls.back(), "End");
        return storage.Closed().at(0);
    }
    std::vector<fs::path> TempFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(m_Log.Directory().Path())) {
            if (entry.path().filename().string().rfind("mdc", 0) == 0) {
                files.push_back(entry.path());
            }
        }
        return files;
    }
    ScopedLog m_Log{ComponentBit(LogComponent::MetaDataGt)};
    ScratchDirectory m_Scratch;
    TestRuntime m_Info;
    MetaDataGatherer m_Gatherer;
    fs::path m_Framework, m_Runtime, m_Console;
};

TEST_F(MetaDataGathererTest, SameMvidSharesOneIndexAndOneRecord) {
    const fs::path copy = m_Scratch.Path() / "copy.dll";
    fs::copy_file(m_Runtime, copy);
    const ModuleID first = Load(m_Runtime);
    const ModuleID second = Load(copy);
    const ModuleID console = Load(m_Console);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(first), 1u);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(console), 2u);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(second), 1u);
    // A determined index is not read again; a repeated load keeps it.
    const unsigned reads = m_Info.CallCount(Operation::GetModuleInfo);
    m_Gatherer.LoadModule(&m_Info, first);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(first), 1u);
    EXPECT_EQ(m_Info.CallCount(Operation::GetModuleInfo), reads);
    EXPECT_TRUE(LogContains("MDG::GetMetaDataIndex mid=" + Hex(console) + " mdi=2"));
    MemorySnapShotStorage storage;
    ProgressRecorder progress;
    m_Gatherer.Write(&progress, &storage);
    // Every snapshot copies the blobs from the files: one file per distinct MVID.
    EXPECT_EQ(m_Info.CallCount(Operation::GetModuleInfo), reads + 2);
    EXPECT_EQ(Snapshot().content, storage.Closed().at(0).content);
    EXPECT_EQ(m_Info.CallCount(Operation::GetModuleInfo), reads + 4);
    ASSERT_EQ(storage.Closed().size(), 1u);
    const auto& section = storage.Closed()[0];
    EXPECT_EQ(section.type, 0x100);
    EXPECT_EQ(section.version, 0);
    EXPECT_EQ(section.content, Concat({U32(2), Record(1, ReadModuleBlob(m_Runtime)),
                                       Record(2, ReadModuleBlob(m_Console))}));
    // Empty file copied under a child of share 0, then one step per loaded module.
    EXPECT_EQ(progress.m_Calls,
              (std::vector<std::string>{"Begin 3", "Step 1", "Step 1", "Step 1", "End"}));
}

TEST_F(MetaDataGathererTest, UnloadedModulesStayInEveryLaterSnapshot) {
    const ModuleID asked = Load(m_Runtime);
    const ModuleID neverAsked = Load(m_Console);
    ASSERT_EQ(m_Gatherer.GetMetaDataIndex(asked), 1u);
    m_Gatherer.UnloadModule(asked);
    m_Gatherer.UnloadModule(neverAsked);
    // The runtime forgets them: later snapshots can only use what was saved at unload.
    m_Info.RemoveModule(asked);
    m_Info.RemoveModule(neverAsked);
    EXPECT_EQ(ErrorText([&] { m_Gatherer.GetMetaDataIndex(asked); }), "Inconsistent module asking");
    const Bytes saved = Concat(
        {U32(2), Record(1, ReadModuleBlob(m_Runtime)), Record(2, ReadModuleBlob(m_Console))});
    EXPECT_EQ(Snapshot().content, saved);

    // The same metadata loaded again is not written a second time.
    const ModuleID again = Load(m_Runtime);
    EXPECT_EQ(Snapshot().content, saved);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(again), 1u);
    m_Gatherer.UnloadModule(again);
    EXPECT_EQ(Snapshot().content, saved);
}

TEST_F(MetaDataGathererTest, ModulesWithoutMetadataGetIndexZeroAndNoRecord) {
    const fs::path text = m_Scratch.Path() / "notes.txt";
    std::ofstream(text) << std::string(200, 'x');  // long enough for an image's headers
    const ModuleID dynamic = m_Info.AddModule({WString()});
    m_Gatherer.LoadModule(&m_Info, dynamic);
    // Built in memory: the runtime on Linux names it, with no path and no file behind the name.
    const ModuleID inMemory = m_Info.AddModule({WString(u"RefEmit_InMemoryManifestModule")});
    m_Gatherer.LoadModule(&m_Info, inMemory);
    const ModuleID notImage = Load(text);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(dynamic), 0u);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(inMemory), 0u);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(notImage), 0u);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(notImage), 0u);
    EXPECT_EQ(m_Gatherer.GetMetaDataIndex(0), 0u);
    EXPECT_EQ(m_Info.CallCount(Operation::GetModuleInfo), 3u);
    EXPECT_TRUE(LogContains("MDG::Map mid=" + Hex(dynamic) + " res=no_file name=''"));
    EXPECT_TRUE(LogContains("MDG::Map mid=" + Hex(inMemory) +
                            " res=no_file name='RefEmit_InMemoryManifestModule'"));
    EXPECT_TRUE(
        LogContains("MDG::Map mid=" + Hex(notImage) + " res=ok name='" + text.string() + "'"));
    EXPECT_EQ(m_Gatherer.GetIndexByteCount(), 1);

    // Neither counts in the section nor in the temporary file.
    m_Gatherer.UnloadModule(notImage);
    const auto section = Snapshot();
    EXPECT_EQ(section.content, U32(0));
}

TEST_F(MetaDataGathererTest, FailuresRaiseTheirTexts) {
    EXPECT_EQ(ErrorText([&] { m_Gatherer.GetMetaDataIndex(0x1234); }),
              "Inconsistent module asking");
    EXPECT_EQ(ErrorText([&] { m_Gatherer.LoadModule(nullptr, 0x1234); }),
              "Invalid profiler info interface");
    m_Gatherer.UnloadModule(0x1234);
    EXPECT_TRUE(LogContains("MDG::UnloadModule mid=" + Hex(0x1234) + " res='unmatch'"));
    const ModuleID module = Load(m_Runtime);
    m_Info.FailNext(Operation::GetModuleInfo, E_FAIL);
    EXPECT_EQ(ErrorText([&] { m_Gatherer.GetMetaDataIndex(module); }),
              "Can't get module properies (COM error code 0x80004005)");
    MetaDataGatherer::MappedModule mapped;
    ASSERT_TRUE(m_Gatherer.Map(&m_Info, module, mapped));
    EXPECT_EQ(ErrorText([&] { m_Gatherer.Map(&m_Info, module, mapped); }), "Unexpected map call");

    // A file replaced by another module (a rebuild) after its index was determined: the new
    // metadata would name the old module's tokens, so the snapshot holds none for it.
    const fs::path rebuilt = m_Scratch.Path() / "rebuilt.dll";
    fs::copy_file(m_Console, rebuilt);
    const ModuleID replaced = Load(rebuilt);
    const DWORD replacedIndex = m_Gatherer.GetMetaDataIndex(replaced);
    fs::copy_file(m_Runtime, rebuilt, fs::copy_options::overwrite_existing);
    // One record: the first module's, not the replaced one's.
    const auto content = Snapshot().content;
    EXPECT_EQ(std::vector<BYTE>(content.begin(), content.begin() + 4), U32(1));
    EXPECT_TRUE(LogContains("MDG::WriteMetaData mid=" + Hex(replaced) +
                            " mdi=" + std::to_string(replacedIndex) + " res='file changed'"));
    m_Gatherer.UnloadModule(replaced);

    // Metadata that vanished after its index was determined and its blob served a snapshot.
    const fs::path copy = m_Scratch.Path() / "vanishing.dll";
    fs::copy_file(m_Runtime, copy);
    const ModuleID vanishing = Load(copy);
    ASSERT_NE(m_Gatherer.GetMetaDataIndex(vanishing), 0u);
    Snapshot();
    std::ofstream(copy, std::ios::trunc) << std::string(200, 'x');
    EXPECT_EQ(ErrorText([&] { m_Gatherer.UnloadModule(vanishing); }),
              "No metadata found for second time");
}

TEST_F(MetaDataGathererTest, EmptySectionAndNoTemporaryFileLeftAfterClose) {
    EXPECT_EQ(TempFiles().size(), 1u);
    const auto section = Snapshot();
    EXPECT_EQ(section.type, 0x100);
    EXPECT_EQ(section.content, U32(0));
    const ModuleID module = Load(m_Runtime);
    m_Gatherer.UnloadModule(module);
    ASSERT_EQ(TempFiles().size(), 1u);
    EXPECT_GT(fs::file_size(TempFiles()[0]), 8u);
    m_Gatherer.Close();
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_EQ(ErrorText([&] { m_Gatherer.GetMetaDataIndex(module); }),
              "Inconsistent module asking");
}

TEST_F(MetaDataGathererTest, IndexByteCountGrowsAtIndex256) {
    EXPECT_EQ(m_Gatherer.GetIndexByteCount(), 1);
    for (uint32_t number = 1; number <= 256; ++number) {
        const fs::path file = m_Scratch.Path() / ("m" + std::to_string(number) + ".dll");
        CopyModuleWithMvid(m_Runtime, file, NumberedMvid(number));
        ASSERT_EQ(m_Gatherer.GetMetaDataIndex(Load(file)), number);
        EXPECT_EQ(m_Gatherer.GetIndexByteCount(), number < 256 ? 1 : 2) << number;
    }
}

// Snapshots taken while modules load, get their index and unload on another thread: each one
// holds the records of indexes 1..k with the right blobs, and the last one holds all of them.
TEST_F(MetaDataGathererTest, ConcurrentUnloadsDuringSnapshotsLoseNoModule) {
    constexpr DWORD Count = 24;
    std::vector<fs::path> files;
    std::vector<Bytes> blobs;
    for (DWORD number = 1; number <= Count; ++number) {
        files.push_back(m_Scratch.Path() / ("m" + std::to_string(number) + ".dll"));
        CopyModuleWithMvid(m_Runtime, files.back(), NumberedMvid(number));
        blobs.push_back(ReadModuleBlob(files.back()));
    }
    std::atomic<bool> done{false};
    std::string loaderFailure;
    std::thread loader([&] {
        try {
            for (const fs::path& file : files) {
                const ModuleID moduleId = Load(file);
                m_Gatherer.GetMetaDataIndex(moduleId);
                m_Gatherer.UnloadModule(moduleId);
            }
        } catch (const std::exception& e) {
            loaderFailure = e.what();
        }
        done = true;
    });
    bool last = false;
    while (!last) {
        last = done;
        const Bytes content = Snapshot().content;
        MemoryBridgeStream section(content);
        const DWORD count = ReadU32(section);
        ASSERT_LE(count, Count);
        for (DWORD index = 1; index <= count; ++index) {
            ASSERT_EQ(ReadU32(section), index);
            const DWORD size = ReadU32(section);
            ASSERT_EQ(size, blobs[index - 1].size());
            Bytes blob(size);
            section.Read(blob.data(), size);
            ASSERT_EQ(blob, blobs[index - 1]) << "index " << index;
        }
        EXPECT_EQ(section.GetRemaining(), 0u);
        if (last) {
            EXPECT_EQ(count, Count);
        }
    }
    loader.join();
    EXPECT_EQ(loaderFailure, "");
}

// ---- CopyStream

// Records the size of every read and write passing through.
class ChunkRecorder : public IReadBridgeStream, public IWriteBridgeStream {
public:
    explicit ChunkRecorder(const Bytes& source) : m_Source(source) {}
    void Read(void* buffer, size_t count) override {
        m_Reads.push_back(count);
        m_Source.Read(buffer, count);
    }
    void Write(const void* data, size_t count) override {
        m_Writes.push_back(count);
        m_Target.Write(data, count);
    }
    MemoryBridgeStream m_Source;
    MemoryBridgeStream m_Target;
    std::vector<size_t> m_Reads, m_Writes;
};

TEST(CopyStream, CopiesInChunksOfFourMebibytesWithTwoStepsEach) {
    Bytes source(2 * CopyStreamChunkSize + 5);
    std::iota(source.begin(), source.end(), BYTE{7});
    ChunkRecorder streams(source);
    ProgressRecorder progress;
    CopyStream(&progress, &streams, &streams, source.size() - 1);
    const std::vector<size_t> chunks = {CopyStreamChunkSize, CopyStreamChunkSize, 4};
    EXPECT_EQ(streams.m_Reads, chunks);
    EXPECT_EQ(streams.m_Writes, chunks);
    EXPECT_EQ(streams.m_Target.GetContent(), Bytes(source.begin(), source.end() - 1));
    EXPECT_EQ(progress.m_Calls, (std::vector<std::string>{"Begin 6", "Step 1", "Step 1", "Step 1",
                                                          "Step 1", "Step 1", "Step 1", "End"}));
    EXPECT_EQ(progress.GetReported(), 1000000u);
}

TEST(CopyStream, ExactChunkAndNothing) {
    ChunkRecorder exact(Bytes(CopyStreamChunkSize, 1));
    ProgressRecorder progress;
    CopyStream(&progress, &exact, &exact, CopyStreamChunkSize);
    EXPECT_EQ(exact.m_Writes, std::vector<size_t>{CopyStreamChunkSize});
    EXPECT_EQ(progress.m_Calls, (std::vector<std::string>{"Begin 2", "Step 1", "Step 1", "End"}));
    ChunkRecorder empty(Bytes(3));
    ProgressRecorder nothing;
    CopyStream(&nothing, &empty, &empty, 0);
    EXPECT_TRUE(empty.m_Reads.empty());
    EXPECT_TRUE(empty.m_Writes.empty());
    EXPECT_EQ(nothing.m_Calls, (std::vector<std::string>{"Begin 0", "End"}));
}

}  // namespace
