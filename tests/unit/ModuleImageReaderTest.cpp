#include "Profiler/ModuleImageReader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Util/Log.h"
#include "Util/LogSink.h"
#include "support/Bytes.h"
#include "support/FrameworkAssemblies.h"

namespace {

// Section layout of every crafted image: one section whose raw data starts at file offset 0x200.
constexpr DWORD SectionRva = 0x2000;
constexpr DWORD SectionVirtualSize = 0x1000;
constexpr DWORD SectionFileOffset = 0x200;
constexpr DWORD CliRva = SectionRva;
constexpr DWORD MetadataRva = SectionRva + 0x48;

struct TablesLayout {
    std::string name = "#~";
    BYTE heapSizes = 0;
    uint64_t valid = 0x1 | 0x2;       // Module and TypeRef
    std::vector<DWORD> rows = {1, 2};  // one per bit of `valid`
    WORD mvidIndex = 1;
};

Bytes Pad4(Bytes bytes) {
    while (bytes.size() % 4 != 0) {
        bytes.push_back(0);
    }
    return bytes;
}

Bytes StreamHeader(DWORD offset, DWORD size, const std::string& name) {
    Bytes nameBytes = Ascii(name);
    nameBytes.push_back(0);
    return Concat({Le32(offset), Le32(size), Pad4(nameBytes)});
}

// A metadata root with a tables stream, a "#Strings" heap and a "#GUID" heap holding `guids`.
Bytes BuildMetadata(const TablesLayout& tables, const std::vector<Bytes>& guids) {
    Bytes tablesStream = Concat({Le32(0), {2, 0, tables.heapSizes, 1}, Le64(tables.valid),
                                 Le64(0)});
    for (DWORD rows : tables.rows) {
        tablesStream = Concat({tablesStream, Le32(rows)});
    }
    const Bytes nameIndex = (tables.heapSizes & 1) != 0 ? Le32(1) : Le16(1);
    tablesStream = Concat({tablesStream, Le16(0), nameIndex, Le16(tables.mvidIndex), Le16(0),
                           Le16(0)});
    tablesStream = Pad4(tablesStream);
    const Bytes strings = Pad4(Concat({{0}, Ascii("m.dll"), {0}}));
    Bytes guidHeap;
    for (const Bytes& guid : guids) {
        guidHeap = Concat({guidHeap, guid});
    }

    const Bytes version = Pad4(Concat({Ascii("v4.0.30319"), {0}}));
    const size_t headersSize = StreamHeader(0, 0, tables.name).size() +
                               StreamHeader(0, 0, "#Strings").size() +
                               StreamHeader(0, 0, "#GUID").size();
    const DWORD rootSize = static_cast<DWORD>(16 + version.size() + 4 + headersSize);
    const DWORD tablesAt = rootSize;
    const DWORD stringsAt = tablesAt + static_cast<DWORD>(tablesStream.size());
    const DWORD guidAt = stringsAt + static_cast<DWORD>(strings.size());
    return Concat({Ascii("BSJB"), Le16(1), Le16(1), Le32(0),
                   Le32(static_cast<DWORD>(version.size())), version, Le16(0), Le16(3),
                   StreamHeader(tablesAt, static_cast<DWORD>(tablesStream.size()), tables.name),
                   StreamHeader(stringsAt, static_cast<DWORD>(strings.size()), "#Strings"),
                   StreamHeader(guidAt, static_cast<DWORD>(guidHeap.size()), "#GUID"),
                   tablesStream, strings, guidHeap});
}

Bytes Guid(BYTE first) {
    Bytes guid(16);
    for (size_t i = 0; i < guid.size(); ++i) {
        guid[i] = static_cast<BYTE>(first + i);
    }
    return guid;
}

struct ImageLayout {
    bool pe32Plus = false;
    WORD sectionCount = 1;
    WORD sizeOfOptionalHeader = 0;  // 0: the size that belongs to the magic
    WORD magic = 0;                 // 0: the magic that belongs to pe32Plus
    DWORD rvaCount = 16;
    DWORD cliRva = CliRva;
    DWORD cliSize = 72;
    DWORD cliCb = 72;
    DWORD metadataRva = MetadataRva;
    DWORD metadataSize = 0;  // 0: the size of `metadata`
    Bytes metadata = BuildMetadata(TablesLayout{}, {Guid(0x10)});
};

void Put(Bytes& image, size_t offset, const Bytes& bytes) {
    if (image.size() < offset + bytes.size()) {
        image.resize(offset + bytes.size());
    }
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<ptrdiff_t>(offset));
}

// A minimal PE image laid out by hand: DOS header, NT headers at 0x40, one section table entry,
// the CLI header at the start of the section and the metadata behind it.
Bytes BuildImage(const ImageLayout& layout) {
    const size_t optionalSize = layout.pe32Plus ? 240 : 224;
    Bytes image(SectionFileOffset, 0);
    Put(image, 0, Ascii("MZ"));
    Put(image, 60, Le32(0x40));
    Put(image, 0x40, Ascii(std::string("PE\0\0", 4)));
    const size_t fileHeader = 0x44;
    Put(image, fileHeader + 2, Le16(layout.sectionCount));
    Put(image, fileHeader + 16,
        Le16(layout.sizeOfOptionalHeader != 0 ? layout.sizeOfOptionalHeader
                                            : static_cast<WORD>(optionalSize)));
    const size_t optional = fileHeader + 20;
    Put(image, optional, Le16(layout.magic != 0 ? layout.magic : (layout.pe32Plus ? 0x20B : 0x10B)));
    Put(image, optional + (layout.pe32Plus ? 108 : 92), Le32(layout.rvaCount));
    const size_t cliDirectory = optional + (layout.pe32Plus ? 224 : 208);
    Put(image, cliDirectory, Concat({Le32(layout.cliRva), Le32(layout.cliSize)}));
    const size_t section = optional + optionalSize;
    Put(image, section, Ascii(".text"));
    Put(image, section + 8, Concat({Le32(SectionVirtualSize), Le32(SectionRva), Le32(0x1000),
                                    Le32(SectionFileOffset)}));

    const DWORD metadataSize =
        layout.metadataSize != 0 ? layout.metadataSize : static_cast<DWORD>(layout.metadata.size());
    Bytes cli(72, 0);
    Put(cli, 0, Le32(layout.cliCb));
    Put(cli, 4, Concat({Le16(2), Le16(5)}));
    Put(cli, 8, Concat({Le32(layout.metadataRva), Le32(metadataSize)}));
    Put(image, SectionFileOffset, cli);
    Put(image, SectionFileOffset + (MetadataRva - SectionRva), layout.metadata);
    image.resize(SectionFileOffset + SectionVirtualSize, 0);
    return image;
}

bool ReadImage(const Bytes& image, Bytes& blob) {
    MemoryBridgeStream stream(image);
    return ReadModuleMetaData(stream, blob);
}

// Runs the reader on `image` and returns the text it raised ("" when it raised nothing).
std::string ReadFailure(const Bytes& image) {
    Bytes blob;
    try {
        ReadImage(image, blob);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string MvidFailure(const Bytes& blob) {
    try {
        FindModuleMvid(blob);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

Bytes MvidOf(const Bytes& blob) {
    const BYTE* pMvid = FindModuleMvid(blob);
    return Bytes(pMvid, pMvid + 16);
}

class WarningRecorder : public LogSink {
public:
    WarningRecorder() { Log::SetSink(this); }
    ~WarningRecorder() { Log::SetSink(nullptr); }
    void OnWarning(const char* pText) override { m_Warnings.emplace_back(pText); }
    void OnError(const char*) override {}
    std::vector<std::string> m_Warnings;
};

bool ReadFile(const std::filesystem::path& path, Bytes& blob) {
    FileBridgeStream stream;
    stream.Open(WidePath(path), FileBridgeStream::AccessRead);
    return ReadModuleMetaData(stream, blob);
}

}  // namespace

TEST(ModuleImageReader, ReadsFrameworkAssembliesAndTheirMvids) {
    const std::filesystem::path framework = FindFrameworkDirectory();
    if (framework.empty()) {
        GTEST_SKIP() << "no .NET shared framework on this machine";
    }
    Bytes coreLib;
    ASSERT_TRUE(ReadFile(framework / "System.Private.CoreLib.dll", coreLib));
    ASSERT_GE(coreLib.size(), 20u);
    EXPECT_EQ(Bytes(coreLib.begin(), coreLib.begin() + 4), Ascii("BSJB"));
    Bytes coreLibAgain;
    ASSERT_TRUE(ReadFile(framework / "System.Private.CoreLib.dll", coreLibAgain));
    EXPECT_EQ(coreLib, coreLibAgain);

    Bytes runtime;
    ASSERT_TRUE(ReadFile(framework / "System.Runtime.dll", runtime));
    EXPECT_EQ(Bytes(runtime.begin(), runtime.begin() + 4), Ascii("BSJB"));

    WarningRecorder warnings;
    const Bytes coreLibMvid = MvidOf(coreLib);
    EXPECT_EQ(coreLibMvid, MvidOf(coreLibAgain));
    EXPECT_NE(coreLibMvid, MvidOf(runtime));
    EXPECT_NE(coreLibMvid, Bytes(16, 0));
    EXPECT_TRUE(warnings.m_Warnings.empty());
}

TEST(ModuleImageReader, NonPeFilesYieldFalseAndLeaveTheBlob) {
    Bytes blob = {1, 2, 3};
    if (std::filesystem::exists("/bin/ls")) {
        EXPECT_FALSE(ReadFile("/bin/ls", blob));
    }
    Bytes notPe(200, 0);
    Put(notPe, 0, Ascii("ZM"));
    EXPECT_FALSE(ReadImage(notPe, blob));
    EXPECT_EQ(blob, (Bytes{1, 2, 3}));

    // Too short for a DOS header: the stream's own failure passes through.
    EXPECT_EQ(ReadFailure(Ascii("MZ")), "Can't read data");
}

TEST(ModuleImageReader, NativeImagesYieldFalse) {
    for (bool pe32Plus : {false, true}) {
        ImageLayout noRva;
        noRva.pe32Plus = pe32Plus;
        noRva.cliRva = 0;
        ImageLayout noSize;
        noSize.pe32Plus = pe32Plus;
        noSize.cliSize = 0;
        Bytes blob;
        EXPECT_FALSE(ReadImage(BuildImage(noRva), blob));
        EXPECT_FALSE(ReadImage(BuildImage(noSize), blob));
        EXPECT_TRUE(blob.empty());
    }
}

TEST(ModuleImageReader, ReadsMetadataOfCraftedPe32AndPe32PlusImages) {
    for (bool pe32Plus : {false, true}) {
        ImageLayout layout;
        layout.pe32Plus = pe32Plus;
        Bytes blob;
        ASSERT_TRUE(ReadImage(BuildImage(layout), blob));
        EXPECT_EQ(blob, layout.metadata);
        EXPECT_EQ(MvidOf(blob), Guid(0x10));
    }
}

TEST(ModuleImageReader, OffsetsCountFromTheStreamsStartPosition) {
    ImageLayout layout;
    const Bytes image = Concat({Bytes(100, 0xEE), BuildImage(layout)});
    MemoryBridgeStream stream(image);
    stream.Seek(ISeekBridgeStream::SeekBegin, 100);
    Bytes blob;
    ASSERT_TRUE(ReadModuleMetaData(stream, blob));
    EXPECT_EQ(blob, layout.metadata);
}

TEST(ModuleImageReader, RaisesOnMalformedHeaders) {
    Bytes badNt = BuildImage(ImageLayout{});
    badNt[0x41] = 'X';
    EXPECT_EQ(ReadFailure(badNt), "Invalid NT header signature");

    ImageLayout noSections;
    noSections.sectionCount = 0;
    EXPECT_EQ(ReadFailure(BuildImage(noSections)), "No section table");

    ImageLayout smallOptional;
    smallOptional.sizeOfOptionalHeader = 223;
    EXPECT_EQ(ReadFailure(BuildImage(smallOptional)), "Invalid option header size");
    // 224 is enough even for PE32+: the size only has to reach the smaller header.
    ImageLayout pe32PlusAt224;
    pe32PlusAt224.pe32Plus = true;
    pe32PlusAt224.sizeOfOptionalHeader = 224;
    EXPECT_EQ(ReadFailure(BuildImage(pe32PlusAt224)), "");

    ImageLayout badMagic;
    badMagic.magic = 0x107;
    EXPECT_EQ(ReadFailure(BuildImage(badMagic)), "Invalid optional header signature");

    for (bool pe32Plus : {false, true}) {
        ImageLayout fourteen;
        fourteen.pe32Plus = pe32Plus;
        fourteen.rvaCount = 14;
        EXPECT_EQ(ReadFailure(BuildImage(fourteen)), "Invalid RVA's count in option header");
        ImageLayout fifteen;
        fifteen.pe32Plus = pe32Plus;
        fifteen.rvaCount = 15;
        EXPECT_EQ(ReadFailure(BuildImage(fifteen)), "");
    }
}

TEST(ModuleImageReader, RaisesOnMalformedCliHeaderAndMetadata) {
    ImageLayout badCb;
    badCb.cliCb = 0x50;
    EXPECT_EQ(ReadFailure(BuildImage(badCb)), "Invalid cor header size, version 2.0 expected");

    ImageLayout noMetadataRva;
    noMetadataRva.metadataRva = 0;
    EXPECT_EQ(ReadFailure(BuildImage(noMetadataRva)), "Can't detect module mapping");
    ImageLayout noMetadataSize;
    noMetadataSize.metadataSize = 0;
    noMetadataSize.metadata = {};
    EXPECT_EQ(ReadFailure(BuildImage(noMetadataSize)), "Can't detect module mapping");

    ImageLayout nineteen;
    nineteen.metadataSize = 19;
    EXPECT_EQ(ReadFailure(BuildImage(nineteen)), "Too small metadata size");
    ImageLayout twenty;
    twenty.metadataSize = 20;
    Bytes blob;
    ASSERT_TRUE(ReadImage(BuildImage(twenty), blob));
    EXPECT_EQ(blob, Bytes(twenty.metadata.begin(), twenty.metadata.begin() + 20));

    ImageLayout badSignature;
    badSignature.metadata[0] = 'X';
    EXPECT_EQ(ReadFailure(BuildImage(badSignature)), "Invalid metadata signature");

    // The CLI header range runs one byte past the section's end.
    ImageLayout straddling;
    straddling.cliRva = SectionRva + SectionVirtualSize - 71;
    EXPECT_EQ(ReadFailure(BuildImage(straddling)), "Can't find section for RVA");

    // Metadata said to run past the end of the file: the stream's failure passes through.
    ImageLayout pastFile;
    pastFile.metadataSize = SectionVirtualSize - 0x48;
    const Bytes image = BuildImage(pastFile);
    EXPECT_EQ(ReadFailure(Bytes(image.begin(), image.begin() + 0x400)), "Can't read data");
}

TEST(ModuleImageReader, RvaTranslationTakesTheFirstSectionHoldingTheWholeRange) {
    ImageSectionHeader first;
    first.VirtualAddress = 0x1000;
    first.VirtualSize = 0x100;
    first.PointerToRawData = 0x400;
    ImageSectionHeader second = first;
    second.VirtualAddress = 0x1080;
    second.PointerToRawData = 0x800;
    const std::vector<ImageSectionHeader> sections = {first, second};

    EXPECT_EQ(RvaToFileOffset(sections, 0x1010, 0x10), 0x410u);
    EXPECT_EQ(RvaToFileOffset(sections, 0x1000, 0x100), 0x400u);  // ends exactly at the end
    EXPECT_EQ(RvaToFileOffset(sections, 0x10F0, 0x20), 0x870u);   // straddles the first only
    EXPECT_THROW(RvaToFileOffset(sections, 0x0FFF, 1), std::runtime_error);
    EXPECT_THROW(RvaToFileOffset(sections, 0x1170, 0x11), std::runtime_error);

    // A range whose end does not fit 32 bits must not wrap around into the section.
    ImageSectionHeader high;
    high.VirtualAddress = 0xFFFFF000;
    high.VirtualSize = 0xFFF;
    try {
        RvaToFileOffset({high}, 0xFFFFF010, 0xFFFFFFF0);
        FAIL() << "no failure";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Can't find section for RVA");
    }
}

TEST(ModuleMvid, FindsTheMvidThroughTheIndexWidths) {
    TablesLayout wide;
    wide.heapSizes = 0x01;
    wide.mvidIndex = 2;
    const Bytes blob = BuildMetadata(wide, {Guid(0x10), Guid(0x40)});
    EXPECT_EQ(MvidOf(blob), Guid(0x40));

    TablesLayout uncompressed;
    uncompressed.name = "#-";
    EXPECT_EQ(MvidOf(BuildMetadata(uncompressed, {Guid(0x70)})), Guid(0x70));
}

TEST(ModuleMvid, WarnsAboutFakeMetadataAndGoesOn) {
    WarningRecorder warnings;
    EXPECT_EQ(MvidOf(BuildMetadata(TablesLayout{}, {Guid(0x10)})), Guid(0x10));
    EXPECT_TRUE(warnings.m_Warnings.empty());

    TablesLayout tiny;
    tiny.valid = 0x1 | 0x4 | (1ull << 40);
    tiny.rows = {1, 0, 1};
    EXPECT_EQ(MvidOf(BuildMetadata(tiny, {Guid(0x20)})), Guid(0x20));
    EXPECT_EQ(warnings.m_Warnings, std::vector<std::string>{"Fake metadata detected"});
}

TEST(ModuleMvid, RaisesOnMissingStreamsAndModuleRows) {
    Bytes badSignature = BuildMetadata(TablesLayout{}, {Guid(0x10)});
    badSignature[3] = 'X';
    EXPECT_EQ(MvidFailure(badSignature), "Invalid metadata signature");
    EXPECT_EQ(MvidFailure(Ascii("BSJ")), "Invalid metadata signature");

    TablesLayout otherName;
    otherName.name = "#Blob";
    EXPECT_EQ(MvidFailure(BuildMetadata(otherName, {Guid(0x10)})), "Can't find #~ or #- stream");

    Bytes noGuid = BuildMetadata(TablesLayout{}, {Guid(0x10)});
    const std::string guidName = "#GUID";
    const auto at = std::search(noGuid.begin(), noGuid.end(), guidName.begin(), guidName.end());
    ASSERT_NE(at, noGuid.end());
    at[1] = 'X';
    EXPECT_EQ(MvidFailure(noGuid), "Can't find #GUID stream");

    WarningRecorder quiet;
    TablesLayout noModuleTable;
    noModuleTable.valid = 0x2;
    noModuleTable.rows = {2};
    EXPECT_EQ(MvidFailure(BuildMetadata(noModuleTable, {Guid(0x10)})), "No module tokens");
    TablesLayout noRows;
    noRows.rows = {0, 2};
    EXPECT_EQ(MvidFailure(BuildMetadata(noRows, {Guid(0x10)})), "No module rows");
    TablesLayout twoRows;
    twoRows.rows = {2, 2};
    EXPECT_EQ(MvidFailure(BuildMetadata(twoRows, {Guid(0x10)})), "Too many module rows");
    TablesLayout noMvid;
    noMvid.mvidIndex = 0;
    EXPECT_EQ(MvidFailure(BuildMetadata(noMvid, {Guid(0x10)})), "No Mvid in module");
}

TEST(ModuleMvid, RejectsStructuresOutsideTheBlob) {
    WarningRecorder quiet;
    TablesLayout pastHeap;
    pastHeap.mvidIndex = 2;
    EXPECT_EQ(MvidFailure(BuildMetadata(pastHeap, {Guid(0x10)})), "Mvid out of range");
    pastHeap.mvidIndex = 0xFFFF;
    EXPECT_EQ(MvidFailure(BuildMetadata(pastHeap, {Guid(0x10)})), "Mvid out of range");

    const Bytes good = BuildMetadata(TablesLayout{}, {Guid(0x10)});
    // Offsets of the root built by BuildMetadata: version length 12, stream headers from 32.
    Bytes hugeVersion = good;
    Put(hugeVersion, 12, Le32(0xFFFFFFFF));
    EXPECT_EQ(MvidFailure(hugeVersion), "Metadata stream out of range");

    Bytes tablesOutside = good;
    Put(tablesOutside, 32, Le32(static_cast<DWORD>(good.size()) - 10));
    EXPECT_EQ(MvidFailure(tablesOutside), "Metadata stream out of range");
    Put(tablesOutside, 32, Le32(0xFFFFFFF0));
    EXPECT_EQ(MvidFailure(tablesOutside), "Metadata stream out of range");

    Bytes manyStreams = good;
    Put(manyStreams, 30, Le16(0xFFFF));
    EXPECT_EQ(MvidFailure(manyStreams), "Metadata stream out of range");

    // Every table present: the row counts alone run past the blob's end.
    TablesLayout allTables;
    allTables.valid = ~0ull;
    allTables.rows = std::vector<DWORD>(2, 1);
    EXPECT_EQ(MvidFailure(BuildMetadata(allTables, {Guid(0x10)})), "Metadata stream out of range");

    // An unterminated name at the very end of the blob.
    Bytes cut = Bytes(good.begin(), good.begin() + 32 + 8 + 2);
    EXPECT_EQ(MvidFailure(cut), "Metadata stream out of range");
}

TEST(ModuleMvid, LaterStreamHeaderReplacesAnEarlierOutOfRangeOne) {
    // Two tables-stream headers: the first points nowhere, the second is the real one.
    const Bytes good = BuildMetadata(TablesLayout{}, {Guid(0x10)});
    const DWORD streamCount = 3;
    Bytes twice = good;
    Put(twice, 30, Le16(streamCount + 1));
    // Insert the bogus header before the others and move every stream offset along by its size.
    const Bytes bogus = StreamHeader(0xFFFFFF00, 4, "#~");
    twice.insert(twice.begin() + 32, bogus.begin(), bogus.end());
    size_t header = 32 + bogus.size();
    for (DWORD i = 0; i < streamCount; ++i) {
        const DWORD offset = static_cast<DWORD>(twice[header] | (twice[header + 1] << 8));
        Put(twice, header, Le32(offset + static_cast<DWORD>(bogus.size())));
        size_t name = header + 8;
        while (twice[name] != 0) {
            ++name;
        }
        header = header + 8 + ((name - header - 8 + 4) & ~size_t{3});
    }
    EXPECT_EQ(MvidOf(twice), Guid(0x10));
}
