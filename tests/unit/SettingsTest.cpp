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

std::string Hex(DWORD value) {
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
    return Hex(value);
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

TEST(Settings, PerUserPerProcessValueOverridesMachineWide) {
    ScopedRegistryFile registry(UserPid +
                                "\"QUORVELAN_PROFILER_LOGMASK\"=\"7\"\n"
                                "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/user-pid\"\n"
                                "\"QUORVELAN_PROFILER_ATTACH\"=dword:00000001\n" +
                                MachinePid +
                                "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000005\n"
                                "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/machine-pid\"\n"
                                "\"QUORVELAN_PROFILER_ATTACH\"=dword:00000002\n" +
                                MachineGlobal +
                                "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000003\n"
                                "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/global\"\n"
                                "\"QUORVELAN_PROFILER_ATTACH\"=dword:00000000\n");
    EXPECT_EQ(LogMask(), "0x00000007");
    EXPECT_EQ(TempPath(), "/tmp/user-pid");
    EXPECT_EQ(Attach(), "0x00000001");
}

TEST(Settings, MachinePerProcessValueUsedWhenPerUserMissingOrInvalid) {
    // Per user: the mask is missing, the attach switch does not parse, the temp path is a number.
    ScopedRegistryFile registry(UserPid +
                                "\"QUORVELAN_PROFILER_ATTACH\"=\"1x\"\n"
                                "\"QUORVELAN_PROFILER_TEMP\"=dword:00000001\n" +
                                MachinePid +
                                "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000005\n"
                                "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/machine-pid\"\n"
                                "\"QUORVELAN_PROFILER_ATTACH\"=\"2\"\n" +
                                MachineGlobal +
                                "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000003\n"
                                "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/global\"\n"
                                "\"QUORVELAN_PROFILER_ATTACH\"=dword:00000000\n");
    EXPECT_EQ(LogMask(), "0x00000005");
    EXPECT_EQ(TempPath(), "/tmp/machine-pid");
    EXPECT_EQ(Attach(), "0x00000002");
}

TEST(Settings, DecimalTextMaskParsesAndHexTextFallsThrough) {
    {
        ScopedRegistryFile registry(MachineGlobal + "\"QUORVELAN_PROFILER_LOGMASK\"=\"1048575\"\n");
        EXPECT_EQ(LogMask(), "0x000FFFFF");
    }
    {
        ScopedRegistryFile registry(UserPid + "\"QUORVELAN_PROFILER_LOGMASK\"=\"0x000FFFFF\"\n" +
                                    MachineGlobal + "\"QUORVELAN_PROFILER_LOGMASK\"=\"12\"\n");
        EXPECT_EQ(LogMask(), "0x0000000C");
    }
    {
        // An empty text is the number 0: the log still opens, with every component off.
        ScopedRegistryFile registry(UserPid + "\"QUORVELAN_PROFILER_LOGMASK\"=\"\"\n" +
                                    MachineGlobal + "\"QUORVELAN_PROFILER_LOGMASK\"=\"12\"\n");
        EXPECT_EQ(LogMask(), "0x00000000");
    }
}

TEST(Settings, TextNumbersConvertLikeTheCLibrary) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  42", "0x0000002A"},
        {"+5", "0x00000005"},
        {"-1", "0xFFFFFFFF"},
        {"99999999999", "0xFFFFFFFF"},
        {"42 ", "failure: Can't parse componet mask"},
        {"  ", "failure: Can't parse componet mask"},
        {"0x10", "failure: Can't parse componet mask"},
    };
    for (const auto& [text, expected] : cases) {
        ScopedRegistryFile registry(MachineGlobal + "\"QUORVELAN_PROFILER_LOGMASK\"=\"" + text +
                                    "\"\n");
        EXPECT_EQ(LogMask(), expected) << "text '" << text << "'";
    }
}

TEST(Settings, FailureAtMachineWideKeyReachesCaller) {
    ScopedRegistryFile registry(MachineGlobal +
                                "\"QUORVELAN_PROFILER_LOGMASK\"=\"0x000FFFFF\"\n"
                                "\"QUORVELAN_PROFILER_TEMP\"=dword:00000001\n"
                                "\"QUORVELAN_PROFILER_ATTACH\"=\"yes\"\n");
    EXPECT_EQ(LogMask(), "failure: Can't parse componet mask");
    EXPECT_EQ(TempPath(), "failure: Invalid temp path type");
    EXPECT_EQ(Attach(), "failure: Can't parse show attach message");

    ScopedRegistryFile otherTypes(MachineGlobal +
                                  "\"QUORVELAN_PROFILER_LOGMASK\"=hex:01,00,00,00\n"
                                  "\"QUORVELAN_PROFILER_TEMP\"=hex(2):2f,00,00,00\n"
                                  "\"QUORVELAN_PROFILER_ATTACH\"=hex(b):01,00,00,00,00,00,00,00\n");
    EXPECT_EQ(LogMask(), "failure: Invalid component mask type");
    EXPECT_EQ(TempPath(), "failure: Invalid temp path type");
    EXPECT_EQ(Attach(), "failure: Invalid show attach message type");
}

TEST(Settings, OnlyTheLastPlacesFailureIsReported) {
    // The per-user failure (wrong type) is dropped; the machine-wide one (missing value) is raised.
    ScopedRegistryFile registry(UserPid + "\"QUORVELAN_PROFILER_TEMP\"=dword:00000001\n" +
                                MachineGlobal + "\"Other\"=\"x\"\n");
    EXPECT_EQ(TempPath(), "failure: Can't get register value");
    EXPECT_EQ(LogMask(), "failure: Can't get register value");
}

TEST(Settings, NothingConfiguredRaisesMachineWideFailure) {
    {
        ScopedRegistryFile registry("");
        EXPECT_EQ(LogMask(), "failure: Can't open registry key");
        EXPECT_EQ(TempPath(), "failure: Can't open registry key");
        EXPECT_EQ(Attach(), "failure: Can't open registry key");
    }
    {
        // A per-process key of another process does not count.
        ScopedRegistryFile registry("[HKEY_CURRENT_USER\\Software\\Quorvelan\\Profiler\\Pid_" +
                                    std::to_string(Platform::GetCurrentProcessId() + 1) +
                                    "]\n\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000001\n");
        EXPECT_EQ(LogMask(), "failure: Can't open registry key");
    }
}

TEST(Settings, MalformedLinesOnlyMakeTheirValueUnreadable) {
    ScopedRegistryFile registry(
        "Windows Registry Editor Version 5.00\n"
        "garbage line without meaning\n" +
        UserPid +
        "\"QUORVELAN_PROFILER_LOGMASK\"=dword:12\n"  // not eight hex digits
        "\"QUORVELAN_PROFILER_ATTACH\"=\"1\n"        // unterminated text
        "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/user\"\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Pid_\n"  // broken header
        "\"QUORVELAN_PROFILER_ATTACH\"=dword:00000007\n" +
        MachineGlobal +
        "\"QUORVELAN_PROFILER_LOGMASK\"=dword:00000030\n"
        "\"QUORVELAN_PROFILER_ATTACH\"=dword:00000000\n");
    EXPECT_EQ(LogMask(), "0x00000030");
    EXPECT_EQ(TempPath(), "/tmp/user");
    EXPECT_EQ(Attach(), "0x00000000");
}

TEST(ScopedRegistryKey, ReportsEachFailureWithItsText) {
    ScopedRegistryFile registry(
        "[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"Text\"=\"ab\"\n"
        "\"Empty\"=hex:\n");
    ScopedRegistryKey key;
    DWORD type = Platform::REG_NONE;
    std::vector<BYTE> data;
    try {
        key.QueryValue(u"Text", type, data);
        ADD_FAILURE() << "a query through a key never opened must fail";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Key was not created or openned");
    }
    try {
        key.Open(Platform::RegistryRoot::CurrentUser, u"Software\\Test");
        ADD_FAILURE() << "the key exists only on the other root";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Can't open registry key");
    }
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
    try {
        key.QueryValue(u"Missing", type, data);
        ADD_FAILURE() << "a missing value must fail";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Can't get register value");
    }
    key.Close();
    EXPECT_FALSE(key.IsOpen());
}

TEST(ScopedRegistryKey, StringOfStopsAtZeroUnitOrEndOfData) {
    EXPECT_EQ(ScopedRegistryKey::StringOf({}), u"");
    EXPECT_EQ(ScopedRegistryKey::StringOf({'x', 0, 0, 0, 'y', 0}), u"x");
    EXPECT_EQ(ScopedRegistryKey::StringOf({'x', 0, 0xE9, 0x00, 0x3A, 0x26}), u"x\u00E9\u263A");
    EXPECT_EQ(ScopedRegistryKey::StringOf({'x', 0, 'y'}), u"x");  // odd last byte ignored
}
