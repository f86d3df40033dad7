#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/Process.h"
#include "Platform/SystemInfo.h"
#include "Profiler/EnvironmentGatherer.h"
#include "Util/BuildInfo.h"
#include "Util/Log.h"
#include "Util/TempFile.h"
#include "Util/Utf8.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/MemorySnapShotStorage.h"
#include "support/ScopedRegistryFile.h"
#include "support/ScratchDirectory.h"
#include "support/WireBytes.h"

using namespace WireBytes;

namespace {

const GUID SequenceGuid = {
    0xA1B2C3D4, 0xE5F6, 0x0718, {0x29, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F, 0x90}};
const Bytes SequenceGuidBytes = {0xD4, 0xC3, 0xB2, 0xA1, 0xF6, 0xE5, 0x18, 0x07,
                                 0x29, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F, 0x90};

const std::string VersionsWithAku(const std::string& akuLine) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n" + akuLine + "\n";
}

uint64_t FileTimeValue(const Platform::FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t LocalFileTimeNow() {
    Platform::SYSTEMTIME now{};
    Platform::GetLocalTime(&now);
    Platform::FILETIME fileTime{};
    EXPECT_TRUE(Platform::SystemTimeToFileTime(&now, &fileTime));
    return FileTimeValue(fileTime);
}

// 100-ns units since 1601-01-01 of a calendar time, worked out with the standard calendar.
uint64_t CalendarFileTime(int day, unsigned month, int year, int hour, int minute, int second) {
    using namespace std::chrono;
    const auto days = sys_days{std::chrono::year{year} / std::chrono::month{month} /
                               std::chrono::day{static_cast<unsigned>(day)}} -
                      sys_days{std::chrono::year{1601} / January / 1};
    const auto seconds =
        duration_cast<std::chrono::seconds>(days).count() + hour * 3600 + minute * 60 + second;
    return static_cast<uint64_t>(seconds) * 10000000u;
}

// The build constants, read independently of the writer.
Bytes BuildVersionBytes() {
    std::istringstream in(BuildInfo::Version);
    Bytes bytes;
    std::string part;
    while (std::getline(in, part, '.')) {
        const Bytes value = U16(static_cast<uint16_t>(std::stoul(part)));
        bytes.insert(bytes.end(), value.begin(), value.end());
    }
    EXPECT_EQ(bytes.size(), 8u) << BuildInfo::Version;
    return bytes;
}

Bytes BuildTimeBytes() {
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    char dot1, dot2, colon1, colon2;
    std::istringstream in(BuildInfo::Time);
    in >> day >> dot1 >> month >> dot2 >> year >> hour >> colon1 >> minute >> colon2 >> second;
    EXPECT_TRUE(in && dot1 == '.' && dot2 == '.' && colon1 == ':' && colon2 == ':')
        << BuildInfo::Time;
    return U64(CalendarFileTime(day, static_cast<unsigned>(month), year, hour, minute, second));
}

DWORD Clamped(UINT_PTR value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(value);
}

bool EndsWith(const Bytes& content, const Bytes& tail) {
    return content.size() >= tail.size() &&
           std::equal(tail.begin(), tail.end(), content.end() - static_cast<long>(tail.size()));
}

// Logs into a fresh temporary directory; leaves the log closed and the directory at its default.
class EnvironmentGathererTest : public testing::Test {
protected:
    void SetUp() override {
        SetTempDirectory(m_Scratch.Wide().c_str());
        Log::Initialize(0);
    }
    void TearDown() override {
        Log::Finish();
        SetTempDirectory(nullptr);
    }
    ScratchDirectory m_Scratch;
};

}  // namespace

TEST_F(EnvironmentGathererTest, WritesTheTwentyTwoFieldsInOrder) {
    ScopedRegistryFile registry(VersionsWithAku("\"Aku\"=\"CE Image 5.00 \xC3\xA9\""));
    EnvironmentGatherer gatherer;
    gatherer.Gather(ProcessGuidValue, 2, 7, 1, 2, 3, 0xABCD);
    MemorySnapShotStorage storage;
    const std::string bridgeText("ctl \xFF\x00z", 7);  // written as held, not converted
    const uint64_t before = LocalFileTimeNow();
    gatherer.Write(storage, bridgeText, 0x11223344, SequenceGuid, 0x55667788);
    const uint64_t after = LocalFileTimeNow();
    ASSERT_EQ(storage.Closed().size(), 1u);
    EXPECT_EQ(storage.OpenCount(), 0u);
    EXPECT_EQ(storage.Closed()[0].type, 0);
    EXPECT_EQ(storage.Closed()[0].version, 4);
    const Bytes& content = storage.Closed()[0].content;
    Platform::SYSTEM_INFO system{};
    Platform::GetSystemInfo(&system);
    Platform::OSVERSIONINFO os{};
    ASSERT_TRUE(Platform::GetVersionEx(&os));

    // Fields 1 to 8, up to the local time.
    Bytes expected = Concat({BuildVersionBytes(),
                             BuildTimeBytes(),
                             {0x00},
                             Text(ToUtf8(Platform::ComposeProcessCommandLine())),
                             ProcessGuidBytes,
                             U32(0x11223344),
                             SequenceGuidBytes,
                             U32(0x55667788)});
    // Field 9: the local time while Write ran.
    const size_t timeOffset = expected.size();
    ASSERT_GE(content.size(), timeOffset + 8);
    uint64_t written = 0;
    for (int i = 7; i >= 0; --i) {
        written = (written << 8) | content[timeOffset + static_cast<size_t>(i)];
    }
    EXPECT_GE(written, before);
    EXPECT_LE(written, after);
    // clang-format off
    const Bytes rest = Concat({
        U64(written), {0x04}, U16(system.wProcessorArchitecture), U32(system.dwPageSize),
        U32(Clamped(reinterpret_cast<UINT_PTR>(system.lpMinimumApplicationAddress))),
        U32(Clamped(reinterpret_cast<UINT_PTR>(system.lpMaximumApplicationAddress))),
        U32(Clamped(system.dwActiveProcessorMask)), U32(system.dwNumberOfProcessors),
        U32(system.dwAllocationGranularity), U16(system.wProcessorLevel),
        U16(system.wProcessorRevision), U16(system.wProcessorArchitecture),
        {0x02}, {0x07}, U16(1), U16(2), U16(3), U16(0xABCD),
        U32(os.dwMajorVersion), U32(os.dwMinorVersion), U32(os.dwBuildNumber),
        U32(os.dwPlatformId), Text(ToUtf8(os.szCSDVersion)), Bytes(13, 0x00),
        Text("CE Image 5.00 \xC3\xA9"), Text(bridgeText),
    });
    // clang-format on
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(content, expected);
    if (sizeof(void*) == 8) {
        // The highest application address of a 64-bit process does not fit: it saturates.
        const size_t highestOffset = timeOffset + 8 + 1 + 2 + 4 + 4;
        EXPECT_EQ(Bytes(content.begin() + static_cast<long>(highestOffset),
                        content.begin() + static_cast<long>(highestOffset) + 4),
                  U32(0xFFFFFFFF));
    }
}

TEST_F(EnvironmentGathererTest, UnknownRuntimeTypeLogsQuestionMarksAndWritesLowByte) {
    ScopedRegistryFile registry(VersionsWithAku("\"Aku\"=\"img\""));
    EnvironmentGatherer unknown;
    unknown.Gather(ProcessGuidValue, 1, 7, 0, 0, 0, 0);
    EnvironmentGatherer wide;
    wide.Gather(ProcessGuidValue, 2, 0x1C8, 10, 0, 1, 65535);
    EnvironmentGatherer device;
    device.Gather(ProcessGuidValue, 2, EnvironmentGatherer::RuntimeSmartDevice, 3, 5, 7283, 0);
    const std::string gather = LogLinePrefix() + "ES::Gather runtimeInterface=";
    EXPECT_EQ(ReadLogLinesAfterRecord(),
              (std::vector<std::string>{
                  gather + "1 runtimeType='\?\?\?' runtimeVersion=0.0.0.0",
                  gather + "2 runtimeType='\?\?\?' runtimeVersion=10.0.1.65535",
                  gather + "2 runtimeType='smartDevice' runtimeVersion=3.5.7283.0"}));

    // Interface level and runtime type sit right before the runtime version and OS fields.
    MemorySnapShotStorage storage;
    unknown.Write(storage, "", 0, SequenceGuid, 0);
    wide.Write(storage, "", 0, SequenceGuid, 0);
    ASSERT_EQ(storage.Closed().size(), 2u);
    Platform::OSVERSIONINFO os{};
    ASSERT_TRUE(Platform::GetVersionEx(&os));
    const Bytes tail =
        Concat({U32(os.dwMajorVersion), U32(os.dwMinorVersion), U32(os.dwBuildNumber),
                U32(os.dwPlatformId), Text(ToUtf8(os.szCSDVersion)), Bytes(13, 0x00), Text("img"),
                Text("")});
    EXPECT_TRUE(EndsWith(storage.Closed()[0].content,
                         Concat({{0x01, 0x07}, U16(0), U16(0), U16(0), U16(0), tail})));
    EXPECT_TRUE(EndsWith(storage.Closed()[1].content,
                         Concat({{0x02, 0xC8}, U16(10), U16(0), U16(1), U16(65535), tail})));
}

TEST(EnvironmentGatherer, NamesTheKnownRuntimeTypes) {
    // 0x1C8: its low byte is 200, yet it is no known type.
    const std::pair<DWORD, const char*> names[] = {{0, "unknown"}, {1, "desktop"},
                                                   {2, "core"},    {200, "smartDevice"},
                                                   {3, "???"},     {0x1C8, "???"}};
    for (const auto& [type, pName] : names) {
        EXPECT_STREQ(EnvironmentGatherer::RuntimeTypeName(type), pName) << type;
    }
}

TEST_F(EnvironmentGathererTest, DeviceImageVersionMustBeAStringValue) {
    {
        ScopedRegistryFile registry(VersionsWithAku("\"Aku\"=dword:00000001"));
        EnvironmentGatherer gatherer;
        EXPECT_EQ(ErrorText([&] { gatherer.Gather(ProcessGuidValue, 2, 0, 0, 0, 0, 0); }),
                  "Invalid Aku type");
    }
    {
        // Without a configured value the kernel release stands in for the image version.
        ScopedRegistryFile registry("");
        EnvironmentGatherer gatherer;
        gatherer.Gather(ProcessGuidValue, 2, 0, 0, 0, 0, 0);
        MemorySnapShotStorage storage;
        gatherer.Write(storage, "bridge", 0, SequenceGuid, 0);
        ASSERT_EQ(storage.Closed().size(), 1u);
        EXPECT_TRUE(EndsWith(storage.Closed()[0].content,
                             Concat({Text(ToUtf8(Platform::GetKernelRelease())), Text("bridge")})));
    }
}

TEST(EnvironmentGatherer, ParsesBuildConstants) {
    EXPECT_EQ(FileTimeValue(EnvironmentGatherer::ParseBuildTime("01.01.1601 00:00:00")), 0u);
    EXPECT_EQ(FileTimeValue(EnvironmentGatherer::ParseBuildTime("29.02.2024 23:59:58")),
              CalendarFileTime(29, 2, 2024, 23, 59, 58));
    EXPECT_EQ(FileTimeValue(EnvironmentGatherer::ParseBuildTime("6.12.2026 3:18:17")),
              CalendarFileTime(6, 12, 2026, 3, 18, 17));
    const std::pair<const char*, const char*> failures[] = {
        {"2024-02-29 23:59:58", "Invalid build time format"},
        {"29.02.2024 23:59", "Invalid build time format"},
        {"", "Invalid build time format"},
        {"30.02.2024 10:00:00", "Can't convert local time"},
        {"01.13.2024 10:00:00", "Can't convert local time"},
        {"01.01.2024 24:00:00", "Can't convert local time"},
    };
    for (const auto& [pText, pFailure] : failures) {
        EXPECT_EQ(ErrorText([&] { EnvironmentGatherer::ParseBuildTime(pText); }), pFailure);
    }
    WORD version[4] = {};
    EnvironmentGatherer::ParseBuildVersion("1.22.333.65535", version);
    EXPECT_EQ(std::vector<WORD>(version, version + 4), (std::vector<WORD>{1, 22, 333, 65535}));
    EXPECT_THROW(EnvironmentGatherer::ParseBuildVersion("1.2.3", version), std::runtime_error);
}
