// The controller's readers of the metadata, module path, class and environment sections, on bytes
// built by hand from the section layouts.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Controller/ClassTable.h"
#include "Controller/EnvironmentSection.h"
#include "Controller/MetaDataSection.h"
#include "Controller/ModulePathSection.h"
#include "Controller/SectionTypes.h"
#include "support/Bytes.h"
#include "support/ClassRecordBytes.h"
#include "support/WireBytes.h"

using namespace Controller;

namespace {

SnapshotSection Section(uint16_t type, Bytes bytes, uint16_t version = 0) {
    SnapshotSection section;
    section.type = type;
    section.version = version;
    section.closed = true;
    section.bytes = std::move(bytes);
    return section;
}

Bytes Text(const std::string& text) {
    return Concat({Bytes{static_cast<BYTE>(text.size())}, Ascii(text)});
}

template <class Read>
std::string Failure(Read&& read) {
    try {
        read();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no failure";
}

}  // namespace

TEST(ControllerMetaDataSection, ReadsRecordsAndRefusesInconsistentOnes) {
    const Bytes records = Concat({Le32(2), Le32(1), Le32(3), Ascii("BSJ"), Le32(7), Le32(0)});
    const auto read = ReadMetaDataSection(Section(0x100, records));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].index, 1u);
    EXPECT_EQ(read[0].blob, Ascii("BSJ"));
    EXPECT_EQ(read[1].index, 7u);
    EXPECT_TRUE(read[1].blob.empty());

    EXPECT_TRUE(ReadMetaDataSection(Section(0x100, Le32(0))).empty());
    EXPECT_EQ(Failure([] { ReadMetaDataSection(Section(0x100, {})); }),
              "Metadata section is cut short");
    EXPECT_EQ(Failure([] {
                  ReadMetaDataSection(Section(0x100, Concat({Le32(1), Le32(1), Le32(9), Le16(0)})));
              }),
              "Metadata section is cut short in the blob of index 1");
    EXPECT_EQ(Failure([] { ReadMetaDataSection(Section(0x100, Concat({Le32(0x40000000)}))); }),
              "Metadata section announces 1073741824 records but holds at most 0");
    EXPECT_EQ(Failure([] {
                  ReadMetaDataSection(
                      Section(0x100, Concat({Le32(2), Le32(4), Le32(0), Le32(4), Le32(0)})));
              }),
              "Metadata section lists invalid or repeated index 4");
    EXPECT_EQ(Failure([] {
                  ReadMetaDataSection(Section(0x100, Concat({Le32(0), Bytes{1}})));
              }),
              "Metadata section has 1 bytes after its last record");
}

TEST(ControllerModulePathSection, ReadsEveryIndexWidth) {
    const Bytes narrow = Concat({Bytes{1}, Le32(2), Bytes{3}, Le16(2), Text("/a/x.dll"),
                                 Text("/b/x.dll"), Bytes{9}, Le16(0)});
    auto entries = ReadModulePathSection(Section(0x110, narrow));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].index, 3u);
    EXPECT_EQ(entries[0].paths, (std::vector<std::string>{"/a/x.dll", "/b/x.dll"}));
    EXPECT_EQ(entries[1].index, 9u);
    EXPECT_TRUE(entries[1].paths.empty());

    const Bytes wide = Concat({Bytes{2}, Le32(1), Le16(300), Le16(1), Text("/c.dll")});
    entries = ReadModulePathSection(Section(0x110, wide));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].index, 300u);

    const Bytes widest = Concat({Bytes{4}, Le32(1), Le32(0x01020304), Le16(0)});
    EXPECT_EQ(ReadModulePathSection(Section(0x110, widest))[0].index, 0x01020304u);

    EXPECT_EQ(Failure([] {
                  ReadModulePathSection(Section(0x110, Concat({Bytes{0}, Le32(0)})));
              }),
              "Module path section has index width 0; expected 1 to 4");
    EXPECT_EQ(Failure([&] {
                  Bytes cut = narrow;
                  cut.resize(cut.size() - 3);
                  ReadModulePathSection(Section(0x110, cut));
              }),
              "Module path section is cut short");
    EXPECT_EQ(Failure([] {
                  ReadModulePathSection(Section(0x110, Concat({Bytes{1}, Le32(5)})));
              }),
              "Module path section announces 5 entries, more than its bytes can hold");
}

TEST(ControllerClassTable, ReadsRecordsWithForwardAndBackwardReferences) {
    // A generic instantiation written before its two arguments, an array of the first argument,
    // and the argument itself; positions 0, 38, 60, 82.
    const Bytes data = Concat({ClassRecordBytes(1, 0x02000005, 0, -1, {60, 82}),
                               ClassRecordBytes(2, 0xFE000000, 1, 60, {}),
                               ClassRecordBytes(2, 0x02000010, 0, -1, {}),
                               ClassRecordBytes(0, 0xFE000000, 0, -1, {})});
    ASSERT_EQ(data.size(), 104u);
    const Bytes index = Concat({Le32(4), Le64(0), Le64(38), Le64(60), Le64(82)});
    const ClassTable table = ClassTable::Read(Section(0x200, data), Section(0x201, index));

    ASSERT_EQ(table.Records().size(), 4u);
    const ClassRecord* pGeneric = table.Find(0);
    ASSERT_NE(pGeneric, nullptr);
    EXPECT_EQ(pGeneric->token, 0x02000005u);
    EXPECT_EQ(pGeneric->typeArguments, (std::vector<int64_t>{60, 82}));
    const ClassRecord* pArray = table.Find(38);
    ASSERT_NE(pArray, nullptr);
    EXPECT_TRUE(pArray->IsArray());
    EXPECT_EQ(pArray->parent, 60);
    EXPECT_EQ(table.Find(82)->metadataIndex, 0u);
    EXPECT_EQ(table.Find(5), nullptr);

    const ClassTable empty = ClassTable::Read(Section(0x200, {}), Section(0x201, Le32(0)));
    EXPECT_TRUE(empty.Records().empty());
}

TEST(ControllerClassTable, RefusesIndexesThatDoNotMatchTheData) {
    const Bytes data = Concat(
        {ClassRecordBytes(1, 0x02000002, 0, -1, {}), ClassRecordBytes(1, 0x02000003, 0, 0, {})});
    auto read = [&](const Bytes& dataBytes, const Bytes& index) {
        return Failure([&] { ClassTable::Read(Section(0x200, dataBytes), Section(0x201, index)); });
    };
    EXPECT_EQ(read(data, Concat({Le32(2), Le64(0)})),
              "Class index section announces 2 records but holds 8 bytes of positions");
    EXPECT_EQ(read(data, Concat({Le32(2), Le64(0), Le64(0)})),
              "Class index lists position 0 twice");
    EXPECT_EQ(read(data, Concat({Le32(2), Le64(0), Le64(11)})),
              "Class index position 11 is not where a record starts (expected 22)");
    EXPECT_EQ(read(data, Concat({Le32(1), Le64(0)})),
              "Class records cover 22 bytes of a class data section of 44");
    EXPECT_EQ(read(data, Concat({Le32(1), Le64(44)})),
              "Class index lists position 44 outside the class data (44 bytes)");
    EXPECT_EQ(read(data, Concat({Le32(1), Le64(-8)})),
              "Class index lists position -8 outside the class data (44 bytes)");
    const Bytes cut(data.begin(), data.begin() + 30);
    EXPECT_EQ(read(cut, Concat({Le32(2), Le64(0), Le64(22)})),
              "Class record at position 22 is cut short");
    // A record caught before its parent and arguments were written: placeholders all through.
    const Bytes placeholders = Concat({Le64(-1), Le16(0xFFFF), Le64(-1), Le64(-1)});
    const Bytes unfinished = Concat({Le32(1), Le32(2), Le32(0), placeholders});
    EXPECT_EQ(read(Concat({unfinished, Le32(1)}), Concat({Le32(1), Le64(0)})),
              "Class record at position 0 is unfinished but its placeholders are damaged");
    Bytes damaged = unfinished;
    damaged[30] = 0;
    EXPECT_EQ(read(damaged, Concat({Le32(1), Le64(0)})),
              "Class record at position 0 is unfinished but its placeholders are damaged");
}

TEST(ControllerClassTable, UnfinishedRecordsReachToTheNextRecord) {
    const Bytes finished = Concat({Le32(3), Le32(0x02000005), Le32(0), Le64(0), Le16(0)});
    const Bytes unfinished = UnfinishedClassRecordBytes(3, 0x02000007, 0, 2);
    SnapshotSection data;
    data.bytes = Concat({unfinished, finished, unfinished});
    SnapshotSection index;
    index.bytes = Concat({Le32(3), Le64(0), Le64(38), Le64(60)});
    const ClassTable table = ClassTable::Read(data, index);
    ASSERT_EQ(table.Records().size(), 3u);
    for (int64_t position : {0, 60}) {
        const ClassRecord* pRecord = table.Find(position);
        ASSERT_NE(pRecord, nullptr);
        EXPECT_TRUE(pRecord->incomplete);
        EXPECT_EQ(pRecord->token, 0x02000007u);
        EXPECT_EQ(pRecord->parent, -1);
        EXPECT_TRUE(pRecord->typeArguments.empty());
    }
    EXPECT_FALSE(table.Find(38)->incomplete);
    EXPECT_EQ(table.Find(38)->parent, 0);
}

namespace {

// Fields 1 to 22 of version 4, with a command line of two-unit text ("\xC3\xA9" is U+00E9) and a
// controller text that is not UTF-8 (kept as it is).
Bytes EnvironmentBytes(BYTE marker = 4) {
    return Concat({Le16(1),
                   Le16(2),
                   Le16(3),
                   Le16(4),
                   Le32(0x89ABCDEF),
                   Le32(0x01D00000),  // build version and time
                   Text(""),
                   Text("\"/usr/bin/dotnet\" caf\xC3\xA9.dll"),  // reserved, command line
                   WireBytes::ProcessGuidBytes,
                   Le32(2),
                   WireBytes::ProtocolGuidBytes,
                   Le32(7),  // process, index, sequence
                   Le32(0x11111111),
                   Le32(0x01D90000),
                   Bytes{marker},
                   Le16(9),  // local time, marker, arch
                   Le32(4096),
                   Le32(0x10000),
                   Le32(0xFFFFFFFF),  // page, addresses
                   Le32(3),
                   Le32(2),
                   Le32(65536),
                   Le16(6),
                   Le16(0x5E01),
                   Le16(9),  // mask, processors, ...
                   Bytes{2, 2},
                   Le16(10),
                   Le16(0),
                   Le16(12),
                   Le16(0),  // interface, runtime
                   Le32(6),
                   Le32(1),
                   Le32(0),
                   Le32(2),
                   Text("sp"),  // OS version, service pack
                   Le16(0),
                   Le16(0),
                   Le16(0),
                   Le16(0),
                   Le32(0),
                   Bytes{0},
                   Text("6.1.0-aku"),
                   Text("ctl\xFF")});
}

}  // namespace

TEST(ControllerEnvironmentSection, ReadsEveryFieldOfVersion4AndRejectsWhatIsNotOne) {
    const EnvironmentRecord record =
        ReadEnvironmentSection(Section(EnvironmentSectionType, EnvironmentBytes(), 4));
    EXPECT_EQ((std::array<uint16_t, 4>{1, 2, 3, 4}), record.profilerVersion);
    EXPECT_EQ(0x01D0000089ABCDEFull, record.profilerBuildTime);
    EXPECT_EQ("\"/usr/bin/dotnet\" caf\xC3\xA9.dll", record.commandLine);
    EXPECT_EQ(WireBytes::ProcessGuidValue, record.processGuid);
    EXPECT_EQ(2u, record.snapshotIndex);
    EXPECT_EQ(7u, record.sequenceNumber);
    EXPECT_EQ(0x01D9000011111111ull, record.localTime);
    EXPECT_EQ(9, record.processorArchitecture);
    EXPECT_EQ(4096u, record.pageSize);
    EXPECT_EQ(0xFFFFFFFFu, record.maximumAddress);
    EXPECT_EQ(2u, record.processorCount);
    EXPECT_EQ(0x5E01, record.processorRevision);
    EXPECT_EQ(2, record.interfaceLevel);
    EXPECT_EQ("core", EnvironmentRecord::RuntimeTypeName(record.runtimeType));
    EXPECT_EQ((std::array<uint16_t, 4>{10, 0, 12, 0}), record.runtimeVersion);
    EXPECT_EQ(6u, record.osMajorVersion);
    EXPECT_EQ(2u, record.osPlatformId);
    EXPECT_EQ("sp", record.servicePack);
    EXPECT_EQ("6.1.0-aku", record.deviceImageVersion);
    EXPECT_EQ("ctl\xFF", record.controllerText);

    const Bytes whole = EnvironmentBytes();
    const struct {
        Bytes bytes;
        uint16_t version;
        std::string error;
    } cases[] = {
        {whole, 3, "Environment record has version 3; this qvprof reads version 4"},
        {Bytes(whole.begin(), whole.end() - 1), 4, "Environment record is cut short"},
        {Bytes(whole.begin(), whole.begin() + 20), 4, "Environment record is cut short"},
        {EnvironmentBytes(5), 4, "Environment record has system information marker 5; expected 4"},
        {Concat({whole, Bytes{0}}), 4, "Environment record has 1 bytes after its last field"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error, Failure([&] {
                      ReadEnvironmentSection(Section(EnvironmentSectionType, c.bytes, c.version));
                  }));
    }
}
