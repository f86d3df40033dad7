// The controller's reader of the environment record, on bytes built by hand from its layout.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Controller/EnvironmentSection.h"
#include "Controller/SectionTypes.h"
#include "support/WireBytes.h"

using namespace Controller;
using namespace WireBytes;

namespace {

// Fields 1 to 22 of version 4, with a command line of two-unit text ("\xC3\xA9" is U+00E9) and a
// controller text that is not UTF-8 (kept as it is).
Bytes RecordBytes(BYTE marker = 4) {
    return Concat({U16(1),
                   U16(2),
                   U16(3),
                   U16(4),  // profiler build version
                   U32(0x89ABCDEF),
                   U32(0x01D00000),  // build time
                   ShortText(""),    // reserved text
                   ShortText("\"/usr/bin/dotnet\" caf\xC3\xA9.dll"),
                   ProcessGuidBytes,
                   U32(2),  // process, snapshot index
                   ProtocolGuidBytes,
                   U32(7),  // sequence and number
                   U32(0x11111111),
                   U32(0x01D90000),  // local time
                   Bytes{marker},
                   U16(9),  // marker, architecture
                   U32(4096),
                   U32(0x10000),
                   U32(0xFFFFFFFF),  // page, addresses
                   U32(3),
                   U32(2),
                   U32(65536),  // mask, processors, granularity
                   U16(6),
                   U16(0x5E01),
                   U16(9),       // level, revision, architecture
                   Bytes{2, 2},  // interface level, runtime type
                   U16(10),
                   U16(0),
                   U16(12),
                   U16(0),  // runtime version
                   U32(6),
                   U32(1),
                   U32(0),
                   U32(2),           // OS version and platform
                   ShortText("sp"),  // service pack
                   U16(0),
                   U16(0),
                   U16(0),
                   U16(0),
                   U32(0),
                   Bytes{0},
                   ShortText("6.1.0-aku"),
                   ShortText("ctl\xFF")});
}

SnapshotSection Section(Bytes bytes, uint16_t version = 4) {
    SnapshotSection section;
    section.type = EnvironmentSectionType;
    section.version = version;
    section.closed = true;
    section.bytes = std::move(bytes);
    return section;
}

std::string Failure(const SnapshotSection& section) {
    try {
        ReadEnvironmentSection(section);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no failure";
}

}  // namespace

TEST(ControllerEnvironmentSection, ReadsEveryFieldOfVersion4) {
    const EnvironmentRecord record = ReadEnvironmentSection(Section(RecordBytes()));
    EXPECT_EQ((std::array<uint16_t, 4>{1, 2, 3, 4}), record.profilerVersion);
    EXPECT_EQ(0x01D0000089ABCDEFull, record.profilerBuildTime);
    EXPECT_EQ("\"/usr/bin/dotnet\" caf\xC3\xA9.dll", record.commandLine);
    EXPECT_EQ(ProcessGuidValue, record.processGuid);
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
}

TEST(ControllerEnvironmentSection, RejectsWhatIsNotAVersion4Record) {
    const Bytes whole = RecordBytes();
    struct Case {
        SnapshotSection section;
        std::string error;
    };
    const Case cases[] = {
        {Section(whole, 3), "Environment record has version 3; this qvprof reads version 4"},
        {Section(Bytes(whole.begin(), whole.end() - 1)), "Environment record is cut short"},
        {Section(Bytes(whole.begin(), whole.begin() + 20)), "Environment record is cut short"},
        {Section(RecordBytes(5)), "Environment record has system information marker 5; expected 4"},
        {Section(Concat({whole, Bytes{0}})), "Environment record has 1 bytes after its last field"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error, Failure(c.section));
    }
}
