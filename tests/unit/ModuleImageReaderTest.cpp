#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bridge/MemoryBridgeStream.h"
#include "Profiler/ModuleImageReader.h"
#include "Util/Log.h"
#include "Util/LogSink.h"
#include "support/Bytes.h"

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
    uint64_t valid = 0x1 | 0x2;        // Module and TypeRef
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
    Bytes tablesStream =
        Concat({Le32(0), {2, 0, tables.heapSizes, 1}, Le64(tables.valid), Le64(0)});
    for (DWORD rows : tables.rows) {
        tablesStream = Concat({tablesStream, Le32(rows)});
    }
    const Bytes nameIndex = (tables.heapSizes & 1) != 0 ? Le32(1) : Le16(1);
    tablesStream =
        Concat({tablesStream, Le16(0), nameIndex, Le16(tables.mvidIndex), Le16(0), Le16(0)});
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
                   StreamHeader(guidAt, static_cast<DWORD>(guidHeap.size()), "#GUID"), tablesStream,
                   strings, guidHeap});
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
    Put(image, optional,
        Le16(layout.magic != 0 ? layout.magic : (layout.pe32Plus ? 0x20B : 0x10B)));
    Put(image, optional + (layout.pe32Plus ? 108 : 92), Le32(layout.rvaCount));
    const size_t cliDirectory = optional + (layout.pe32Plus ? 224 : 208);
    Put(image, cliDirectory, Concat({Le32(layout.cliRva), Le32(layout.cliSize)}));
    const size_t section = optional + optionalSize;
    Put(image, section, Ascii(".text"));
    Put(image, section + 8,
        Concat(
            {Le32(SectionVirtualSize), Le32(SectionRva), Le32(0x1000), Le32(SectionFileOffset)}));

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

// The MVID found in the blob in memory, and read piecewise from a stream holding the blob behind
// 8 other bytes; both ways must agree, on the GUID or on the failure's text.
std::pair<std::string, Bytes> MvidBothWays(const Bytes& blob) {
    std::string failures[2];
    Bytes mvids[2];
    try {
        const BYTE* pMvid = FindModuleMvid(blob);
        mvids[0].assign(pMvid, pMvid + 16);
    } catch (const std::exception& e) {
        failures[0] = e.what();
    }
    try {
        MemoryBridgeStream stream(Concat({Bytes(8, 0xEE), blob}));
        BYTE mvid[16];
        ReadModuleMvid(stream, MetaDataLocation{0, 8, static_cast<DWORD>(blob.size())}, mvid);
        mvids[1].assign(mvid, mvid + 16);
    } catch (const std::exception& e) {
        failures[1] = e.what();
    }
    EXPECT_EQ(failures[0], failures[1]);
    EXPECT_EQ(mvids[0], mvids[1]);
    return {failures[0], mvids[0]};
}

std::string MvidFailure(const Bytes& blob) {
    return MvidBothWays(blob).first;
}

Bytes MvidOf(const Bytes& blob) {
    return MvidBothWays(blob).second;
}

class WarningRecorder : public LogSink {
public:
    WarningRecorder() { Log::SetSink(this); }
    ~WarningRecorder() { Log::SetSink(nullptr); }
    void OnWarning(const char* pText) override { m_Warnings.emplace_back(pText); }
    void OnError(const char*) override {}
    std::vector<std::string> m_Warnings;
};

}  // namespace

TEST(ModuleImageReader, ReadsMetadataOfCraftedPe32AndPe32PlusImagesAndSkipsNativeOnes) {
    for (bool pe32Plus : {false, true}) {
        ImageLayout layout;
        layout.pe32Plus = pe32Plus;
        Bytes blob;
        ASSERT_TRUE(ReadImage(BuildImage(layout), blob));
        EXPECT_EQ(blob, layout.metadata);
        EXPECT_EQ(MvidOf(blob), Guid(0x10));

        // Native images: no CLI directory address or size.
        blob.clear();
        layout.cliRva = 0;
        EXPECT_FALSE(ReadImage(BuildImage(layout), blob));
        layout.cliRva = CliRva;
        layout.cliSize = 0;
        EXPECT_FALSE(ReadImage(BuildImage(layout), blob));
        EXPECT_TRUE(blob.empty());
    }
    // Not an image at all: false, and the blob is left alone.
    Bytes untouched = {1, 2, 3};
    Bytes notPe(200, 0);
    Put(notPe, 0, Ascii("ZM"));
    EXPECT_FALSE(ReadImage(notPe, untouched));
    EXPECT_EQ(untouched, (Bytes{1, 2, 3}));
    // Too short for a DOS header: the stream's own failure passes through.
    EXPECT_EQ(ReadFailure(Ascii("MZ")), "Can't read data");

    // Offsets count from the stream's start position.
    ImageLayout layout;
    MemoryBridgeStream stream(Concat({Bytes(100, 0xEE), BuildImage(layout)}));
    stream.Seek(ISeekBridgeStream::SeekBegin, 100);
    Bytes blob;
    ASSERT_TRUE(ReadModuleMetaData(stream, blob));
    EXPECT_EQ(blob, layout.metadata);
}

// Each case changes the crafted image; "" where it must still read.
TEST(ModuleImageReader, RaisesOnMalformedHeadersCliHeaderAndMetadata) {
    struct Case {
        std::function<void(ImageLayout&)> change;
        std::string failure;
    };
    const Case cases[] = {
        {[](ImageLayout& l) { l.sectionCount = 0; }, "No section table"},
        {[](ImageLayout& l) { l.sizeOfOptionalHeader = 223; }, "Invalid option header size"},
        // 224 is enough even for PE32+: the size only has to reach the smaller header.
        {[](ImageLayout& l) { l.pe32Plus = true, l.sizeOfOptionalHeader = 224; }, ""},
        {[](ImageLayout& l) { l.magic = 0x107; }, "Invalid optional header signature"},
        {[](ImageLayout& l) { l.rvaCount = 14; }, "Invalid RVA's count in option header"},
        {[](ImageLayout& l) { l.pe32Plus = true, l.rvaCount = 14; },
         "Invalid RVA's count in option header"},
        {[](ImageLayout& l) { l.rvaCount = 15; }, ""},
        {[](ImageLayout& l) { l.pe32Plus = true, l.rvaCount = 15; }, ""},
        {[](ImageLayout& l) { l.cliCb = 0x50; }, "Invalid cor header size, version 2.0 expected"},
        {[](ImageLayout& l) { l.metadataRva = 0; }, "Can't detect module mapping"},
        {[](ImageLayout& l) { l.metadataSize = 0, l.metadata = {}; },
         "Can't detect module mapping"},
        {[](ImageLayout& l) { l.metadataSize = 19; }, "Too small metadata size"},
        {[](ImageLayout& l) { l.metadataSize = 20; }, ""},
        {[](ImageLayout& l) { l.metadata[0] = 'X'; }, "Invalid metadata signature"},
        // The CLI header range runs one byte past the section's end.
        {[](ImageLayout& l) { l.cliRva = SectionRva + SectionVirtualSize - 71; },
         "Can't find section for RVA"},
    };
    for (const Case& c : cases) {
        ImageLayout layout;
        c.change(layout);
        EXPECT_EQ(ReadFailure(BuildImage(layout)), c.failure) << &c - cases;
    }
    Bytes badNt = BuildImage(ImageLayout{});
    badNt[0x41] = 'X';
    EXPECT_EQ(ReadFailure(badNt), "Invalid NT header signature");

    // A metadata size of 20 reads exactly 20 bytes.
    ImageLayout twenty;
    twenty.metadataSize = 20;
    Bytes blob;
    ASSERT_TRUE(ReadImage(BuildImage(twenty), blob));
    EXPECT_EQ(blob, Bytes(twenty.metadata.begin(), twenty.metadata.begin() + 20));

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
    // Once from the blob in memory, once from the stream.
    EXPECT_EQ(warnings.m_Warnings, std::vector<std::string>(2, "Fake metadata detected"));
}

// Each case changes the tables layout, then patches the built blob.
TEST(ModuleMvid, RaisesOnMissingStreamsModuleRowsAndStructuresOutsideTheBlob) {
    WarningRecorder quiet;
    const auto keep = [](TablesLayout&) {};
    const auto intact = [](Bytes&) {};
    const auto put = [](size_t offset, DWORD value) {
        return [=](Bytes& blob) { Put(blob, offset, Le32(value)); };
    };
    const std::string outside = "Metadata stream out of range";
    struct Case {
        std::function<void(TablesLayout&)> change;
        std::function<void(Bytes&)> patch;
        std::string failure;
    };
    // Offsets of the root built by BuildMetadata: version length at 12, stream count at 30,
    // stream headers from 32.
    const Case cases[] = {
        {keep, [](Bytes& b) { b[3] = 'X'; }, "Invalid metadata signature"},
        {keep, [](Bytes& b) { b.resize(3); }, "Invalid metadata signature"},
        {[](TablesLayout& t) { t.name = "#Blob"; }, intact, "Can't find #~ or #- stream"},
        {keep,
         [](Bytes& b) {
             const std::string guid = "#GUID";
             std::search(b.begin(), b.end(), guid.begin(), guid.end())[1] = 'X';
         },
         "Can't find #GUID stream"},
        {[](TablesLayout& t) { t.valid = 0x2, t.rows = {2}; }, intact, "No module tokens"},
        {[](TablesLayout& t) {
             t.rows = {0, 2};
         },
         intact, "No module rows"},
        {[](TablesLayout& t) {
             t.rows = {2, 2};
         },
         intact, "Too many module rows"},
        {[](TablesLayout& t) { t.mvidIndex = 0; }, intact, "No Mvid in module"},
        {[](TablesLayout& t) { t.mvidIndex = 2; }, intact, "Mvid out of range"},
        {[](TablesLayout& t) { t.mvidIndex = 0xFFFF; }, intact, "Mvid out of range"},
        {keep, put(12, 0xFFFFFFFF), outside},
        {keep, [](Bytes& b) { Put(b, 32, Le32(static_cast<DWORD>(b.size()) - 10)); }, outside},
        {keep, put(32, 0xFFFFFFF0), outside},
        {keep, [](Bytes& b) { Put(b, 30, Le16(0xFFFF)); }, outside},
        // Every table present: the row counts alone run past the blob's end.
        {[](TablesLayout& t) {
             t.valid = ~0ull, t.rows = {1, 1};
         },
         intact, outside},
        // An unterminated name at the very end of the blob.
        {keep, [](Bytes& b) { b.resize(32 + 8 + 2); }, outside},
    };
    for (const Case& c : cases) {
        TablesLayout tables;
        c.change(tables);
        Bytes blob = BuildMetadata(tables, {Guid(0x10)});
        c.patch(blob);
        EXPECT_EQ(MvidFailure(blob), c.failure) << &c - cases;
    }
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
