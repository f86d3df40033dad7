#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/BridgeSnapShotStorage.h"
#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/FileSnapShotStorage.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Platform/FileSystem.h"
#include "Util/TempFile.h"
#include "Util/Utf8.h"
#include "support/BridgeLine.h"
#include "support/Bytes.h"
#include "support/CommandReader.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/ScratchDirectory.h"
#include "support/TestCommandProcessor.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD MAGIC = 0x46505651;
// {A1A2A3A4-B1B2-C1C2-D1D2-D3D4D5D6D7D8}
constexpr GUID SEQUENCE = {
    0xA1A2A3A4, 0xB1B2, 0xC1C2, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8}};
const Bytes SEQUENCE_BYTES = {0xA4, 0xA3, 0xA2, 0xA1, 0xB2, 0xB1, 0xC2, 0xC1,
                              0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8};

Bytes FileBytes(const WString& path) {
    const std::string text = ReadWholeFile(Platform::ToNativePath(path));
    return Bytes(text.begin(), text.end());
}

void WriteText(IWriteBridgeStream& stream, const std::string& text) {
    stream.Write(text.data(), text.size());
}

// One 14-byte index record: type, version, size, data file number.
Bytes Record(WORD type, WORD version, uint64_t size, WORD file) {
    return Concat({Le16(type), Le16(version), Le64(size), Le16(file)});
}

// A whole index file: "MF", the magic, the record count, the records and the end mark.
Bytes IndexFile(std::initializer_list<Bytes> records) {
    const Bytes count = Le32(static_cast<DWORD>(records.size()));
    return Concat({Hx("4D46"), Le32(MAGIC), count, Concat(records), Hx("FFFF")});
}

const Bytes ANNOUNCE = {0xE0, 0x51, 0x56, 0x50, 0x46};  // snapshot start with MAGIC

// ---- Bridge storage ----

class BridgeSnapShotStorageTest : public testing::Test {
protected:
    BridgeLine m_Line;
    TestCommandProcessor m_Processor{&m_Line.Profiler(), 0, 1};
    IBridgeControl* m_pControl = m_Processor.GetControl();
    Bytes Sent() { return m_Line.ToController().TakeAll(); }

    // Creates the snapshot and opens its first section, answering the request with `handle`.
    // Needs a CommandReader running.
    IWriteSeekBridgeStream* Open(BridgeSnapShotStorage& storage, WORD handle) {
        storage.Create(m_pControl, MAGIC, 0, SEQUENCE, 1);
        EXPECT_EQ(m_Line.Receive(5), ANNOUNCE);
        auto creating = std::async(std::launch::async, [&] { return storage.CreateSection(); });
        EXPECT_EQ(m_Line.Receive(5), Concat({{0xE1}, Le32(0)}));
        m_Line.Send(Concat({{0xE1}, Le32(0), Le16(handle)}));
        return creating.get();
    }
};

TEST_F(BridgeSnapShotStorageTest, EmptySnapshotIsAnnouncedAndClosed) {
    {
        BridgeSnapShotStorage storage;
        storage.Create(m_pControl, MAGIC, 3, SEQUENCE, 5);
        storage.Close();
    }
    EXPECT_EQ(Sent(), Concat({ANNOUNCE, {0xE7, 0x03, 0x00, 0x00, 0x00}, SEQUENCE_BYTES, Le32(5)}));
}

TEST_F(BridgeSnapShotStorageTest, SectionMessagesFollowTheExchange) {
    CommandReader reader(m_Processor, m_Line);
    BridgeSnapShotStorage storage;
    IWriteSeekBridgeStream* pSection = Open(storage, 0x0102);

    // Collected writes leave as one message ahead of the tell; an empty write adds nothing.
    WriteText(*pSection, "ab");
    pSection->Write("ignored", 0);
    WriteText(*pSection, "c");
    EXPECT_EQ(m_Line.ToController().Available(), 0u);
    auto telling =
        std::async(std::launch::async, [&] { return ErrorText([&] { pSection->Tell(); }); });
    EXPECT_EQ(m_Line.Receive(10),
              Concat({{0xE3, 0x02, 0x01, 0x03, 0x00, 0x00, 0x00}, Ascii("abc")}));
    EXPECT_EQ(m_Line.Receive(7), (Bytes{0xE4, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00}));
    m_Line.Send(Concat({{0xE4}, Le32(1), Le64(0x80000000)}));
    EXPECT_EQ(telling.get(), "Too large section position");
    auto telling2 = std::async(std::launch::async, [&] { return pSection->Tell(); });
    EXPECT_EQ(m_Line.Receive(7), (Bytes{0xE4, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00}));
    m_Line.Send(Concat({{0xE4}, Le32(2), Le64(0x7FFFFFFF)}));
    EXPECT_EQ(telling2.get(), 0x7FFFFFFF);

    // Bytes written before a seek precede it; bytes written after it precede the close.
    WriteText(*pSection, "d");
    pSection->Seek(ISeekBridgeStream::SeekCurrent, -2);
    pSection->Write("", 0);
    WriteText(*pSection, "ef");
    storage.CloseSection(pSection, 0x0100, 2);
    EXPECT_EQ(ErrorText([&] { storage.CloseSection(pSection, 0x0100, 2); }),
              "Wrong section to close");
    storage.Close();
    EXPECT_EQ(Sent(),
              Concat({Hx("E3 0201 01000000 64  E5 0201 01 FEFFFFFFFFFFFFFF  E3 0201 02000000 6566"),
                      Hx("E2 0201 0001 0200  E7 00000000"), SEQUENCE_BYTES, Le32(1)}));
}

// Counters are written a byte at a time: those bytes travel in as few messages as the buffer
// allows, and a large write goes out whole after what was collected before it.
TEST_F(BridgeSnapShotStorageTest, ManySmallWritesArriveAsOneMessage) {
    CommandReader reader(m_Processor, m_Line);
    BridgeSnapShotStorage storage;
    IWriteSeekBridgeStream* pSection = Open(storage, 7);
    constexpr size_t BUFFER = BridgeSectionStream::BufferSize;
    Bytes small(1000);
    for (size_t i = 0; i < small.size(); ++i) {
        small[i] = static_cast<BYTE>(i * 7);
        pSection->Write(&small[i], 1);
    }
    EXPECT_EQ(m_Line.ToController().Available(), 0u);
    // Filling the buffer exactly sends nothing yet; the next byte sends the full buffer.
    const Bytes filler(BUFFER - small.size(), 0x5A);
    pSection->Write(filler.data(), filler.size());
    EXPECT_EQ(m_Line.ToController().Available(), 0u);
    const BYTE last = 0xC3;
    pSection->Write(&last, 1);
    EXPECT_EQ(Sent(), Concat({{0xE3, 0x07, 0x00}, Le32(BUFFER), small, filler}));
    const Bytes large(BUFFER + 3, 0x11);
    pSection->Write(large.data(), large.size());
    storage.CloseSection(pSection, 0x0110, 0);
    EXPECT_EQ(Sent(), Concat({Hx("E3 0700 01000000"),
                              {last},
                              Hx("E3 0700"),
                              Le32(BUFFER + 3),
                              large,
                              Hx("E2 0700 1001 0000")}));
}

// A section write that fails on a dead line raises from the call that sends it.
TEST_F(BridgeSnapShotStorageTest, FailedFlushReachesTheWriter) {
    CommandReader reader(m_Processor, m_Line);
    BridgeSnapShotStorage storage;
    IWriteSeekBridgeStream* pSection = Open(storage, 7);
    WriteText(*pSection, "xyz");
    m_Line.ToController().Close();
    EXPECT_EQ(ErrorText([&] { storage.CloseSection(pSection, 1, 0); }), "Bridge line closed");
    WriteText(*pSection, "w");
    EXPECT_EQ(ErrorText([&] { pSection->Seek(ISeekBridgeStream::SeekBegin, 0); }),
              "Bridge line closed");
}

TEST_F(BridgeSnapShotStorageTest, DroppedSnapshotIsAbortedOnce) {
    {
        BridgeSnapShotStorage storage;
        storage.Create(m_pControl, MAGIC, 0, SEQUENCE, 1);
    }
    {
        BridgeSnapShotStorage storage;
        storage.Create(m_pControl, MAGIC, 0, SEQUENCE, 1);
        storage.Abort();
        storage.Abort();
    }
    { BridgeSnapShotStorage neverCreated; }
    EXPECT_EQ(Sent(), Concat({ANNOUNCE, {0xE6}, ANNOUNCE, {0xE6}}));
}

TEST_F(BridgeSnapShotStorageTest, CreateNeedsAControlAndAbortsWhenTheAnnouncementFails) {
    BridgeSnapShotStorage storage;
    EXPECT_EQ(ErrorText([&] { storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1); }),
              "Invalid argument");

    // The controller is gone: the announcement fails, the abort is tried, the failure passes on.
    m_Line.ToController().Close();
    EXPECT_EQ(ErrorText([&] { storage.Create(m_pControl, MAGIC, 0, SEQUENCE, 1); }),
              "Bridge line closed");
}

// Two threads open sections at once: each gets the handle the controller assigned to its request,
// and the data each writes arrives under that handle.
TEST(BridgeSnapshotConcurrent, SectionsOpenedByTwoThreadsGetTheirOwnHandles) {
    BridgeLine line;
    TestCommandProcessor processor(&line.Profiler(), 0, 1);
    BridgeSnapShotStorage storage;
    storage.Create(processor.GetControl(), MAGIC, 0, SEQUENCE, 1);
    line.Receive(5);
    std::map<WORD, BYTE> writtenBy;  // handle -> the byte its writer sent
    std::atomic<int> failedWriters{0};
    {
        CommandReader reader(processor, line);
        std::vector<std::thread> writers;
        for (BYTE t = 1; t <= 2; ++t) {
            writers.emplace_back([&storage, &failedWriters, t] {
                try {
                    IWriteSeekBridgeStream* pSection = storage.CreateSection();
                    pSection->Write(&t, 1);
                    storage.CloseSection(pSection, t, 0);
                } catch (const std::exception&) {
                    ++failedWriters;
                }
            });
        }
        // The controller's side: requests are answered in arrival order (id n gets handle
        // 100 + n); each writer's data and close must carry the handle it was given.
        DWORD nextId = 0;
        for (int message = 0; message < 6 && !HasFailure(); ++message) {
            const BYTE code = line.Receive(1)[0];
            if (code == 0xE1) {
                EXPECT_EQ(line.Receive(4), Le32(nextId));
                line.Send(Concat({{0xE1}, Le32(nextId), Le16(static_cast<WORD>(100 + nextId))}));
                ++nextId;
                continue;
            }
            const Bytes handle = line.Receive(2);
            const WORD h = static_cast<WORD>(handle[0] | handle[1] << 8);
            if (code == 0xE3) {
                EXPECT_EQ(line.Receive(4), Le32(1));
                const BYTE data = line.Receive(1)[0];
                EXPECT_EQ(writtenBy.count(h), 0u);
                writtenBy[h] = data;
            } else {
                EXPECT_EQ(code, 0xE2);
                const Bytes rest = line.Receive(4);
                EXPECT_EQ(writtenBy.count(h), 1u) << "closed before written";
                EXPECT_EQ(rest[0], writtenBy[h]);
            }
        }
        if (HasFailure()) {
            line.Hangup();
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
    }
    EXPECT_EQ(failedWriters, 0);
    EXPECT_EQ(writtenBy.size(), 2u);
    EXPECT_TRUE(writtenBy.count(100) && writtenBy.count(101));
    std::set<BYTE> writers = {writtenBy[100], writtenBy[101]};
    EXPECT_EQ(writers, (std::set<BYTE>{1, 2}));
}

// ---- File storage ----

class FileSnapShotStorageTest : public testing::Test {
protected:
    void SetUp() override { SetTempDirectory(m_Scratch.Wide().c_str()); }
    void TearDown() override { SetTempDirectory(nullptr); }
    std::vector<std::string> FileNames() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_Scratch.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    ScratchDirectory m_Scratch;
};

TEST_F(FileSnapShotStorageTest, EmptySnapshotLeavesATwelveByteIndex) {
    FileSnapShotStorage storage;
    storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1);
    const WString path = storage.GetIndexPath();
    const std::string name = fs::path(Platform::ToNativePath(path)).filename().string();
    EXPECT_EQ(name.size(), std::string("ssc0ABCD.tmp").size());
    EXPECT_EQ(name.substr(0, 4), "ssc0");
    storage.Close();
    EXPECT_EQ(FileBytes(path),
              (Bytes{0x4D, 0x46, 0x51, 0x56, 0x50, 0x46, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(FileBytes(path), IndexFile({}));
    EXPECT_EQ(FileNames(), std::vector<std::string>{name});
    EXPECT_TRUE(storage.GetIndexPath().empty());
}

TEST_F(FileSnapShotStorageTest, SectionsWrittenInTurnShareDataFileZero) {
    BridgeLine line;
    TestCommandProcessor processor(&line.Profiler(), 0, 0);
    FileSnapShotStorage storage;
    storage.Create(processor.GetControl(), MAGIC, 4, SEQUENCE, 6);
    const WString path = storage.GetIndexPath();
    IWriteSeekBridgeStream* pFirst = storage.CreateSection();
    WriteText(*pFirst, "AAAA");
    storage.CloseSection(pFirst, 0x0100, 1);
    IWriteSeekBridgeStream* pSecond = storage.CreateSection();
    WriteText(*pSecond, "BBBBBX");
    EXPECT_EQ(pSecond->Tell(), 6);
    pSecond->Seek(ISeekBridgeStream::SeekBegin, 5);
    WriteText(*pSecond, "B");
    EXPECT_EQ(ErrorText([&] { pSecond->Seek(ISeekBridgeStream::SeekCurrent, -7); }),
              "Invalid offset");
    storage.CloseSection(pSecond, 0x0110, 0);
    storage.Close();
    EXPECT_EQ(FileBytes(path), IndexFile({Record(0x0100, 1, 4, 0), Record(0x0110, 0, 6, 0)}));
    EXPECT_EQ(FileBytes(path + u".0000"), Ascii("AAAABBBBBB"));
    EXPECT_FALSE(fs::exists(Platform::ToNativePath(path + u".0001")));

    // The controller is told where the index is.
    const std::string native = ToUtf8(path);
    const Bytes length = {static_cast<BYTE>(native.size())};
    EXPECT_EQ(line.ToController().TakeAll(),
              Concat({{0xEF}, Le32(4), SEQUENCE_BYTES, Le32(6), length, Ascii(native)}));
}

TEST_F(FileSnapShotStorageTest, SectionsOpenTogetherUseDataFilesZeroAndOne) {
    FileSnapShotStorage storage;
    storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1);
    const WString path = storage.GetIndexPath();
    IWriteSeekBridgeStream* pFirst = storage.CreateSection();
    IWriteSeekBridgeStream* pSecond = storage.CreateSection();
    WriteText(*pFirst, "xy");
    WriteText(*pSecond, "z");
    storage.CloseSection(pSecond, 2, 0);
    storage.CloseSection(pFirst, 1, 0);
    // The free file 0 takes the next section, after its earlier bytes.
    IWriteSeekBridgeStream* pThird = storage.CreateSection();
    EXPECT_EQ(pThird, pFirst);
    EXPECT_EQ(pThird->Tell(), 0);
    WriteText(*pThird, "w");
    storage.CloseSection(pThird, 3, 0);
    storage.Close();
    EXPECT_EQ(FileBytes(path),
              IndexFile({Record(1, 0, 2, 0), Record(2, 0, 1, 1), Record(3, 0, 1, 0)}));
    EXPECT_EQ(FileBytes(path + u".0000"), Ascii("xyw"));
    EXPECT_EQ(FileBytes(path + u".0001"), Ascii("z"));
}

TEST_F(FileSnapShotStorageTest, DataFileNumbersAreFourUpperCaseHexDigits) {
    FileSnapShotStorage storage;
    storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1);
    const WString path = storage.GetIndexPath();
    std::vector<IWriteSeekBridgeStream*> sections;
    for (int i = 0; i < 27; ++i) {
        sections.push_back(storage.CreateSection());
    }
    for (IWriteSeekBridgeStream* pSection : sections) {
        storage.CloseSection(pSection, 1, 0);
    }
    storage.Close();
    EXPECT_TRUE(fs::exists(Platform::ToNativePath(path + u".001A")));
    EXPECT_EQ(FileNames().size(), 28u);
}

TEST_F(FileSnapShotStorageTest, RefusesInvalidTypeOpenSectionsAndASecondCreate) {
    FileSnapShotStorage storage;
    storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1);
    IWriteSeekBridgeStream* pSection = storage.CreateSection();
    EXPECT_EQ(ErrorText([&] { storage.CloseSection(pSection, 0xFFFF, 0); }), "Invalid type value");
    EXPECT_EQ(ErrorText([&] { storage.Close(); }), "At least one section isn't closed");
    MemoryBridgeStream stranger;
    EXPECT_EQ(ErrorText([&] { storage.CloseSection(&stranger, 1, 0); }), "Wrong section to close");
    storage.CloseSection(pSection, 1, 0);
    EXPECT_EQ(ErrorText([&] { storage.CloseSection(pSection, 1, 0); }), "Wrong section to close");
    EXPECT_EQ(ErrorText([&] { storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1); }),
              "Index file is already created");
    // A failed Create abandons the snapshot.
    EXPECT_TRUE(FileNames().empty());
    EXPECT_EQ(ErrorText([&] { storage.Close(); }), "Index file is already closed");
}

TEST_F(FileSnapShotStorageTest, AbandonedSnapshotLeavesNoFiles) {
    {
        FileSnapShotStorage storage;
        storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1);
        WriteText(*storage.CreateSection(), "data");
        EXPECT_EQ(FileNames().size(), 2u);
    }
    EXPECT_TRUE(FileNames().empty());
    BridgeLine line;
    TestCommandProcessor processor(&line.Profiler(), 0, 0);
    FileSnapShotStorage storage;
    storage.Create(processor.GetControl(), MAGIC, 0, SEQUENCE, 1);
    storage.CloseSection(storage.CreateSection(), 1, 0);
    storage.Abort();
    EXPECT_TRUE(FileNames().empty());
    EXPECT_EQ(line.ToController().Available(), 0u);
}

class FileSnapshotConcurrent : public FileSnapShotStorageTest {};

TEST_F(FileSnapshotConcurrent, SectionsFromSeveralThreadsEachKeepTheirBytes) {
    constexpr int THREADS = 4;
    constexpr int SECTIONS = 25;
    FileSnapShotStorage storage;
    storage.Create(nullptr, MAGIC, 0, SEQUENCE, 1);
    const WString path = storage.GetIndexPath();
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([&storage, t] {
            for (int i = 0; i < SECTIONS; ++i) {
                IWriteSeekBridgeStream* pSection = storage.CreateSection();
                // The type names the writer and round; the content repeats the writer's letter.
                const std::string content(static_cast<size_t>(i + 1), static_cast<char>('a' + t));
                pSection->Write(content.data(), content.size());
                storage.CloseSection(pSection, static_cast<WORD>(t * 100 + i), 0);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    storage.Close();

    // Read the index back by its layout and check every section's bytes.
    const Bytes index = FileBytes(path);
    ASSERT_EQ(index.size(), 10 + THREADS * SECTIONS * 14 + 2u);
    std::map<WORD, uint64_t> fileOffsets;
    for (size_t r = 0; r < static_cast<size_t>(THREADS * SECTIONS); ++r) {
        const BYTE* p = index.data() + 10 + r * 14;
        const WORD type = static_cast<WORD>(p[0] | p[1] << 8);
        uint64_t size = 0;
        for (int b = 7; b >= 0; --b) {
            size = size << 8 | p[4 + b];
        }
        const WORD file = static_cast<WORD>(p[12] | p[13] << 8);
        const int t = type / 100;
        const int i = type % 100;
        ASSERT_EQ(size, static_cast<uint64_t>(i + 1));
        WString suffix = u".";
        for (int shift = 12; shift >= 0; shift -= 4) {
            suffix += u"0123456789ABCDEF"[(file >> shift) & 0xF];
        }
        const Bytes data = FileBytes(path + suffix);
        ASSERT_GE(data.size(), fileOffsets[file] + size);
        for (uint64_t k = 0; k < size; ++k) {
            EXPECT_EQ(data[fileOffsets[file] + k], 'a' + t);
        }
        fileOffsets[file] += size;
    }
}

}  // namespace
