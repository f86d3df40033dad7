#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Process.h"
#include "Platform/Registry.h"
#include "Util/ScopedRegistryKey.h"
#include "Util/Settings.h"
#include "Util/Utf8.h"
#include "support/ErrorText.h"
#include "support/ScopedRegistryFile.h"

namespace {

constexpr DWORD Untouched = 0xDEADBEEF;

std::string PidKey(const char* pRoot) {
    return std::string("[") + pRoot + "\\Software\\Quorvelan\\Profiler\\Pid_" +
           std::to_string(Platform::GetCurrentProcessId()) + "]\n";
}

const std::string UserPid = PidKey("HKEY_CURRENT_USER");
const std::string MachinePid = PidKey("HKEY_LOCAL_MACHINE");
const std::string MachineGlobal = "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n";

std::string HexText(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// Each reader's result as text, or "failure: <text>"; a failure must leave the out value alone.
template <typename Read>
std::string NumberOrFailure(Read read) {
    DWORD value = Untouched;
    try {
        read(value);
    } catch (const std::exception& e) {
        EXPECT_EQ(value, Untouched);
        return std::string("failure: ") + e.what();
    }
    return HexText(value);
}

std::string LogMask() {
    return NumberOrFailure(ReadLogMaskSetting);
}

std::string Attach() {
    return NumberOrFailure(ReadAttachSetting);
}

std::string TempPath() {
    WString path = u"untouched";
    try {
        ReadTempPathSetting(path);
    } catch (const std::exception& e) {
        EXPECT_EQ(path, u"untouched");
        return std::string("failure: ") + e.what();
    }
    return ToUtf8(path);
}

}  // namespace

// Each case: the registry, then what the three readers make of it ("" where not checked).
TEST(Settings, ReadersTakeTheFirstReadablePlaceAndReportTheLastFailure) {
    const std::string mask = "\"QUORVELAN_PROFILER_LOGMASK\"=";
    const std::string temp = "\"QUORVELAN_PROFILER_TEMP\"=";
    const std::string attach = "\"QUORVELAN_PROFILER_ATTACH\"=";
    const std::string global = MachineGlobal + mask + "dword:00000003\n" + temp +
                               "\"/tmp/global\"\n" + attach + "dword:00000000\n";
    const std::string machinePid = MachinePid + mask + "dword:00000005\n" + temp +
                                   "\"/tmp/machine-pid\"\n" + attach + "\"2\"\n";
    const std::string noKey = "failure: Can't open registry key";
    const std::string badMask = "failure: Can't parse componet mask";
    struct Case {
        std::string registry;
        std::string logMask, tempPath, attachSetting;
    };
    const Case cases[] = {
        // Per user and process overrides per process, which overrides machine-wide.
        {UserPid + mask + "\"7\"\n" + temp + "\"/tmp/user-pid\"\n" + attach + "dword:00000001\n" +
             machinePid + global,
         "0x00000007", "/tmp/user-pid", "0x00000001"},
        // Per user: mask missing, attach does not parse, the temp path is a number.
        {UserPid + attach + "\"1x\"\n" + temp + "dword:00000001\n" + machinePid + global,
         "0x00000005", "/tmp/machine-pid", "0x00000002"},
        {MachineGlobal + mask + "\"1048575\"\n", "0x000FFFFF", "", ""},
        // A hex text falls through; an empty text is 0 (the log opens with every component off).
        {UserPid + mask + "\"0x000FFFFF\"\n" + MachineGlobal + mask + "\"12\"\n", "0x0000000C", "",
         ""},
        {UserPid + mask + "\"\"\n" + MachineGlobal + mask + "\"12\"\n", "0x00000000", "", ""},
        // Text numbers convert like the C library.
        {MachineGlobal + mask + "\"  42\"\n", "0x0000002A", "", ""},
        {MachineGlobal + mask + "\"+5\"\n", "0x00000005", "", ""},
        {MachineGlobal + mask + "\"-1\"\n", "0xFFFFFFFF", "", ""},
        {MachineGlobal + mask + "\"99999999999\"\n", "0xFFFFFFFF", "", ""},
        {MachineGlobal + mask + "\"42 \"\n", badMask, "", ""},
        {MachineGlobal + mask + "\"  \"\n", badMask, "", ""},
        // A failure at the machine-wide key reaches the caller.
        {MachineGlobal + mask + "\"0x10\"\n" + temp + "dword:00000001\n" + attach + "\"yes\"\n",
         badMask, "failure: Invalid temp path type", "failure: Can't parse show attach message"},
        {MachineGlobal + mask + "hex:01,00,00,00\n" + temp + "hex(2):2f,00,00,00\n" + attach +
             "hex(b):01,00,00,00,00,00,00,00\n",
         "failure: Invalid component mask type", "failure: Invalid temp path type",
         "failure: Invalid show attach message type"},
        // Only the last place's failure is reported: the per-user wrong type is dropped.
        {UserPid + temp + "dword:00000001\n" + MachineGlobal + "\"Other\"=\"x\"\n",
         "failure: Can't get register value", "failure: Can't get register value", ""},
        {"", noKey, noKey, noKey},
        // A per-process key of another process does not count.
        {"[HKEY_CURRENT_USER\\Software\\Quorvelan\\Profiler\\Pid_" +
             std::to_string(Platform::GetCurrentProcessId() + 1) + "]\n" + mask +
             "dword:00000001\n",
         noKey, "", ""},
        // Malformed lines only make their own value unreadable.
        {"Windows Registry Editor Version 5.00\ngarbage line without meaning\n" + UserPid + mask +
             "dword:12\n" + attach + "\"1\n" + temp + "\"/tmp/user\"\n" +
             "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Pid_\n" + attach +
             "dword:00000007\n" + MachineGlobal + mask + "dword:00000030\n" + attach +
             "dword:00000000\n",
         "0x00000030", "/tmp/user", "0x00000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.registry);
        ScopedRegistryFile registry(c.registry);
        EXPECT_EQ(LogMask(), c.logMask);
        if (!c.tempPath.empty()) {
            EXPECT_EQ(TempPath(), c.tempPath);
        }
        if (!c.attachSetting.empty()) {
            EXPECT_EQ(Attach(), c.attachSetting);
        }
    }
}

TEST(ScopedRegistryKey, ReportsEachFailureWithItsText) {
    ScopedRegistryFile registry(
        "[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"Text\"=\"ab\"\n"
        "\"Empty\"=hex:\n");
    ScopedRegistryKey key;
    DWORD type = Platform::REG_NONE;
    std::vector<BYTE> data;
    EXPECT_EQ(ErrorText([&] { key.QueryValue(u"Text", type, data); }),
              "Key was not created or openned");
    // The key exists only on the other root.
    EXPECT_EQ(ErrorText([&] { key.Open(Platform::RegistryRoot::CurrentUser, u"Software\\Test"); }),
              "Can't open registry key");
    EXPECT_FALSE(key.IsOpen());

    key.Open(Platform::RegistryRoot::LocalMachine, u"Software\\Test");
    ASSERT_TRUE(key.IsOpen());
    key.QueryValue(u"Text", type, data);
    EXPECT_EQ(type, Platform::REG_SZ);
    EXPECT_EQ(data, (std::vector<BYTE>{'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(ScopedRegistryKey::StringOf(data), u"ab");
    key.QueryValue(u"Empty", type, data);
    EXPECT_EQ(type, Platform::REG_BINARY);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(ErrorText([&] { key.QueryValue(u"Missing", type, data); }),
              "Can't get register value");
    key.Close();
    EXPECT_FALSE(key.IsOpen());
}

TEST(ScopedRegistryKey, StringOfStopsAtZeroUnitOrEndOfData) {
    EXPECT_EQ(ScopedRegistryKey::StringOf({}), u"");
    EXPECT_EQ(ScopedRegistryKey::StringOf({'x', 0, 0, 0, 'y', 0}), u"x");
    EXPECT_EQ(ScopedRegistryKey::StringOf({'x', 0, 0xE9, 0x00, 0x3A, 0x26}), u"x\u00E9\u263A");
    EXPECT_EQ(ScopedRegistryKey::StringOf({'x', 0, 'y'}), u"x");  // odd last byte ignored
}
