#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Linux/RegistryFile.h"
#include "Platform/Registry.h"
#include "Platform/SystemInfo.h"
#include "support/ScratchDirectory.h"

using namespace Platform;
using Native::RegistryFile;
using Native::RegistryValue;

namespace {

using Bytes = std::vector<BYTE>;

constexpr RegistryRoot HKLM = RegistryRoot::LocalMachine;
constexpr RegistryRoot HKCU = RegistryRoot::CurrentUser;

// The value's type and bytes, or nothing when the file does not define it.
std::optional<std::pair<DWORD, Bytes>> Lookup(const RegistryFile& file, RegistryRoot root,
                                              const char* key, const char* name) {
    const RegistryValue* pValue = file.FindValue(root, key, name);
    if (pValue == nullptr) {
        return std::nullopt;
    }
    return std::make_pair(pValue->type, pValue->data);
}

std::pair<DWORD, Bytes> Sz(const Bytes& utf16WithZero) {
    return {REG_SZ, utf16WithZero};
}

std::pair<DWORD, Bytes> Dword(const Bytes& littleEndian) {
    return {REG_DWORD, littleEndian};
}

// Sets or clears QUORVELAN_REGISTRY for the life of the object.
class RegistryPathOverride {
public:
    explicit RegistryPathOverride(const std::string* pPath) {
        const char* saved = std::getenv("QUORVELAN_REGISTRY");
        if (saved != nullptr) {
            m_Saved = saved;
        }
        if (pPath != nullptr) {
            setenv("QUORVELAN_REGISTRY", pPath->c_str(), 1);
        } else {
            unsetenv("QUORVELAN_REGISTRY");
        }
    }
    ~RegistryPathOverride() {
        if (m_Saved) {
            setenv("QUORVELAN_REGISTRY", m_Saved->c_str(), 1);
        } else {
            unsetenv("QUORVELAN_REGISTRY");
        }
    }

private:
    std::optional<std::string> m_Saved;
};

void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Reads a value through the registry calls: type and bytes, or the failing status.
struct Queried {
    LONG status = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    Bytes data;
};

Queried Query(RegistryRoot root, const WString& key, const WString& name) {
    Queried result;
    RegistryKey handle = nullptr;
    result.status = RegOpenKey(root, key, &handle);
    if (result.status != ERROR_SUCCESS) {
        return result;
    }
    DWORD size = 0;
    result.status = RegQueryValue(handle, name, &result.type, nullptr, &size);
    if (result.status == ERROR_SUCCESS) {
        result.data.resize(size);
        result.status = RegQueryValue(handle, name, nullptr, result.data.data(), &size);
    }
    RegCloseKey(handle);
    return result;
}

Bytes Utf16WithZero(const WString& text) {
    Bytes bytes;
    for (WCHAR unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

}  // namespace

TEST(PlatformRegistryFile, ReadsEveryValueType) {
    const RegistryFile file = RegistryFile::Parse(
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
        "\"Text\"=\"/tmp/qv\"\n"
        "\"Mask\"=dword:0000000a\n"
        "\"Big\"=dword:FFFFfffe\n"
        "\"Blob\"=hex:01,02,ff\n"
        "\"Empty\"=hex:\n"
        "\"Expand\"=hex(2):41,00,00,00\n"
        "\"Quad\"=hex(b):01,00,00,00,00,00,00,80\n"
        "\"Long\"=hex:00,01,02,\\\n"
        "  03,04\n"
        "@=\"default\"\n"
        "\"Accent\"=\"\xC3\xA9\xE2\x82\xAC\"\n");
    const char* key = "Software\\Quorvelan\\Profiler\\Global";
    EXPECT_EQ(Lookup(file, HKLM, key, "Text"),
              Sz({'/', 0, 't', 0, 'm', 0, 'p', 0, '/', 0, 'q', 0, 'v', 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Mask"), Dword({0x0A, 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Big"), Dword({0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Blob"), std::make_pair(REG_BINARY, Bytes{1, 2, 0xFF}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Empty"), std::make_pair(REG_BINARY, Bytes{}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Expand"), std::make_pair(REG_EXPAND_SZ, Bytes{0x41, 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Quad"),
              std::make_pair(REG_QWORD, Bytes{1, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Long"), std::make_pair(REG_BINARY, Bytes{0, 1, 2, 3, 4}));
    EXPECT_EQ(Lookup(file, HKLM, key, ""),
              Sz({'d', 0, 'e', 0, 'f', 0, 'a', 0, 'u', 0, 'l', 0, 't', 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, key, "Accent"), Sz({0xE9, 0x00, 0xAC, 0x20, 0, 0}));
    EXPECT_EQ(Lookup(file, HKCU, key, "Text"), std::nullopt);
}

TEST(PlatformRegistryFile, UnescapesBackslashAndQuote) {
    const RegistryFile file = RegistryFile::Parse(
        "[HKCU\\K]\n"
        "\"Path\"=\"\\\\Temp\\\\qv\"\n"
        "\"Say \\\"hi\\\"\"=\"a\\\"b\"\n"
        "\"Single\"=\"\\Temp\"\n");
    EXPECT_EQ(Lookup(file, HKCU, "K", "Path"),
              Sz({'\\', 0, 'T', 0, 'e', 0, 'm', 0, 'p', 0, '\\', 0, 'q', 0, 'v', 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKCU, "K", "Say \"hi\""), Sz({'a', 0, '"', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKCU, "K", "Single"), std::nullopt);  // "\T" is not an escape
}

TEST(PlatformRegistryFile, NamesIgnoreCaseAndEmptyLevels) {
    const RegistryFile file = RegistryFile::Parse(
        "[hkey_local_machine\\SOFTWARE\\Quorvelan\\]\n"
        "\"LogMask\"=DWORD:00000001\n"
        "[HKLM\\software\\\\quorvelan\\Profiler]\n"
        "\"Other\"=HEX:05\n");
    EXPECT_EQ(Lookup(file, HKLM, "Software\\quorvelan", "LOGMASK"), Dword({1, 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, "\\software\\QUORVELAN\\profiler\\", "other"),
              std::make_pair(REG_BINARY, Bytes{5}));
    EXPECT_TRUE(file.HasKey(HKLM, "SOFTWARE"));
    EXPECT_TRUE(file.HasKey(HKLM, "Software\\Quorvelan\\Profiler"));
    EXPECT_TRUE(file.HasKey(HKLM, ""));
    EXPECT_TRUE(file.HasKey(HKCU, ""));
    EXPECT_FALSE(file.HasKey(HKLM, "Software\\Quorvelan\\Profiler\\Global"));
    EXPECT_FALSE(file.HasKey(HKLM, "Soft"));
    EXPECT_FALSE(file.HasKey(HKCU, "Software"));
}

TEST(PlatformRegistryFile, SkipsCommentsBlankLinesAndLineEndings) {
    const RegistryFile file = RegistryFile::Parse(
        "\xEF\xBB\xBFREGEDIT4\r\n"
        "; a comment\r\n"
        "   \r\n"
        "\t[HKLM\\K] ; the key\r\n"
        "  \"A\" = \"x\"  ; trailing comment\r\n"
        "\"B\"=dword:00000002 ;two\r\n"
        ";\"C\"=dword:00000003\r\n"
        "\"D\"=hex:01,\\\r\n"
        "  02 ; end\r\n");
    EXPECT_EQ(Lookup(file, HKLM, "K", "A"), Sz({'x', 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, "K", "B"), Dword({2, 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, "K", "C"), std::nullopt);
    EXPECT_EQ(Lookup(file, HKLM, "K", "D"), std::make_pair(REG_BINARY, Bytes{1, 2}));

    // The same content saved as UTF-16LE with its byte-order mark.
    const std::string text = "[HKLM\\K]\r\n\"A\"=\"\xC3\xA9\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (WCHAR unit : WString(u"[HKLM\\K]\r\n\"A\"=\"\u00e9\"\r\n")) {
        utf16.push_back(static_cast<char>(unit & 0xFF));
        utf16.push_back(static_cast<char>(unit >> 8));
    }
    EXPECT_EQ(Lookup(RegistryFile::Parse(utf16), HKLM, "K", "A"), Sz({0xE9, 0, 0, 0}));
}

TEST(PlatformRegistryFile, MalformedLinesLoseOnlyTheirOwnValue) {
    const RegistryFile file = RegistryFile::Parse(
        "[HKLM\\K]\n"
        "\"Good1\"=dword:00000001\n"
        "\"BadDigit\"=dword:0000000g\n"
        "\"TooLong\"=dword:123456789\n"
        "\"TooShort\"=dword:1\n"
        "\"OneDigitByte\"=hex:1\n"
        "\"NoDigits\"=dword:\n"
        "\"Open\"=\"no closing quote\n"
        "\"Junk\"=\"text\" junk\n"
        "\"NoEquals\" \"x\"\n"
        "\"BadHex\"=hex:01,2g\n"
        "\"TrailingComma\"=hex:01,\n"
        "\"HexByte\"=hex:100\n"
        "\"BadType\"=hex(zz):01\n"
        "\"Unknown\"=qword:1\n"
        "Name=\"unquoted\"\n"
        "\"Good2\"=\"two\"\n");
    EXPECT_EQ(Lookup(file, HKLM, "K", "Good1"), Dword({1, 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, "K", "Good2"), Sz({'t', 0, 'w', 0, 'o', 0, 0, 0}));
    for (const char* name : {"BadDigit", "TooLong", "TooShort", "OneDigitByte", "NoDigits", "Open", "Junk", "NoEquals",
                             "BadHex", "TrailingComma", "HexByte", "BadType", "Unknown", "Name"}) {
        EXPECT_EQ(Lookup(file, HKLM, "K", name), std::nullopt) << name;
    }
}

TEST(PlatformRegistryFile, BadHeaderHidesItsValuesUntilTheNextHeader) {
    const RegistryFile file = RegistryFile::Parse(
        "\"Orphan\"=dword:00000001\n"
        "[HKEY_CLASSES_ROOT\\K]\n"
        "\"A\"=dword:00000001\n"
        "[HKLM\\Unclosed\n"
        "\"B\"=dword:00000002\n"
        "[-HKLM\\Deleted]\n"
        "\"C\"=dword:00000003\n"
        "[HKLM\\K] junk\n"
        "\"D\"=dword:00000004\n"
        "[HKLM\\K]\n"
        "\"E\"=dword:00000005\n");
    EXPECT_FALSE(file.HasKey(HKLM, "Unclosed"));
    EXPECT_FALSE(file.HasKey(HKLM, "Deleted"));
    EXPECT_EQ(Lookup(file, HKLM, "", "Orphan"), std::nullopt);
    EXPECT_EQ(Lookup(file, HKLM, "K", "A"), std::nullopt);
    EXPECT_EQ(Lookup(file, HKLM, "K", "D"), std::nullopt);
    EXPECT_EQ(Lookup(file, HKLM, "K", "E"), Dword({5, 0, 0, 0}));
}

TEST(PlatformRegistryFile, LaterDefinitionsWinAndRemovalsApply) {
    const RegistryFile file = RegistryFile::Parse(
        "[HKLM\\K]\n"
        "\"A\"=dword:00000001\n"
        "\"B\"=dword:00000001\n"
        "[HKLM\\Other]\n"
        "[HKLM\\K]\n"
        "\"a\"=\"replaced\"\n"
        "\"B\"=-\n");
    EXPECT_EQ(Lookup(file, HKLM, "K", "A"),
              Sz({'r', 0, 'e', 0, 'p', 0, 'l', 0, 'a', 0, 'c', 0, 'e', 0, 'd', 0, 0, 0}));
    EXPECT_EQ(Lookup(file, HKLM, "K", "B"), std::nullopt);
}

TEST(PlatformRegistryFile, TruncatedFileNeverYieldsACutValue) {
    const std::string whole =
        "[HKLM\\K]\n\"A\"=dword:0000000a\n\"S\"=\"complete\"\n\"H\"=hex:01,02,\\\n  03\n";
    const size_t endOfA = whole.find('\n', whole.find("\"A\""));
    const size_t endOfS = whole.find('\n', whole.find("\"S\""));
    const size_t afterContinuation = whole.find("\\\n") + 1;
    const size_t endOfH = whole.find("03") + 2;
    for (size_t length = 0; length <= whole.size(); ++length) {
        SCOPED_TRACE(length);
        const RegistryFile file = RegistryFile::Parse(std::string_view(whole).substr(0, length));
        const auto a = Lookup(file, HKLM, "K", "A");
        EXPECT_EQ(a.has_value(), length >= endOfA);
        if (a) {
            EXPECT_EQ(*a, Dword({0x0A, 0, 0, 0}));
        }
        const auto s = Lookup(file, HKLM, "K", "S");
        EXPECT_EQ(s.has_value(), length >= endOfS);
        const auto h = Lookup(file, HKLM, "K", "H");
        if (length >= afterContinuation && length < endOfH) {
            EXPECT_EQ(h, std::nullopt);  // the continuation line is missing or cut
        }
        if (length >= endOfH) {
            EXPECT_EQ(h, std::make_pair(REG_BINARY, Bytes{1, 2, 3}));
        }
    }
}

TEST(PlatformRegistry, ReadsTheFileNamedByTheEnvironment) {
    ScratchDirectory scratch;
    const std::string path = (scratch.Path() / "device.reg").string();
    WriteFile(path,
              "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\r\n"
              "\"QUORVELAN_PROFILER_LOGMASK\"=dword:000fffff\r\n"
              "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/qv\"\r\n"
              "[HKEY_CURRENT_USER\\Software\\Quorvelan\\Profiler\\Pid_42]\r\n"
              "\"QUORVELAN_PROFILER_ATTACH\"=\"1\"\r\n");
    RegistryPathOverride override(&path);
    EXPECT_EQ(GetRegistryFilePath(), path);

    const Queried mask =
        Query(HKLM, u"Software\\Quorvelan\\Profiler\\Global", u"quorvelan_profiler_logmask");
    EXPECT_EQ(mask.status, ERROR_SUCCESS);
    EXPECT_EQ(mask.type, REG_DWORD);
    EXPECT_EQ(mask.data, (Bytes{0xFF, 0xFF, 0x0F, 0x00}));
    const Queried temp =
        Query(HKLM, u"SOFTWARE\\Quorvelan\\Profiler\\Global", u"QUORVELAN_PROFILER_TEMP");
    EXPECT_EQ(temp.type, REG_SZ);
    EXPECT_EQ(temp.data, Utf16WithZero(u"/tmp/qv"));
    EXPECT_EQ(Query(HKCU, u"Software\\Quorvelan\\Profiler\\Pid_42", u"QUORVELAN_PROFILER_ATTACH").data,
              Utf16WithZero(u"1"));
    EXPECT_EQ(Query(HKLM, u"Software\\Quorvelan\\Profiler\\Pid_42", u"x").status,
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(HKLM, u"Software\\Quorvelan\\Profiler\\Global", u"Missing").status,
              ERROR_FILE_NOT_FOUND);
}

TEST(PlatformRegistry, QueryReportsSizesAndShortBuffers) {
    ScratchDirectory scratch;
    const std::string path = (scratch.Path() / "sizes.reg").string();
    WriteFile(path, "[HKLM\\K]\n\"S\"=\"abc\"\n\"Z\"=hex:\n");
    RegistryPathOverride override(&path);
    RegistryKey key = nullptr;
    ASSERT_EQ(RegOpenKey(HKLM, u"K", &key), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValue(key, u"S", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u);
    BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    size = sizeof(small);
    EXPECT_EQ(RegQueryValue(key, u"S", nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    BYTE exact[8] = {};
    size = sizeof(exact);
    EXPECT_EQ(RegQueryValue(key, u"S", nullptr, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(exact, exact + 8), Utf16WithZero(u"abc"));
    EXPECT_EQ(RegQueryValue(key, u"S", nullptr, exact, nullptr), ERROR_INVALID_PARAMETER);
    size = 99;
    EXPECT_EQ(RegQueryValue(key, u"Z", &type, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValue(nullptr, u"S", &type, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKey(HKLM, u"K", nullptr), ERROR_INVALID_PARAMETER);
}

TEST(PlatformRegistry, ChangedFileIsReadAgainButOpenKeysKeepTheirContent) {
    ScratchDirectory scratch;
    const std::string path = (scratch.Path() / "changing.reg").string();
    WriteFile(path, "[HKLM\\K]\n\"V\"=dword:00000001\n");
    RegistryPathOverride override(&path);
    RegistryKey before = nullptr;
    ASSERT_EQ(RegOpenKey(HKLM, u"K", &before), ERROR_SUCCESS);
    WriteFile(path, "[HKLM\\K]\n\"V\"=dword:00000002\n; now longer\n");
    EXPECT_EQ(Query(HKLM, u"K", u"V").data, (Bytes{2, 0, 0, 0}));
    BYTE data[4] = {};
    DWORD size = sizeof(data);
    EXPECT_EQ(RegQueryValue(before, u"V", nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 1);
    RegCloseKey(before);

    const std::string otherPath = (scratch.Path() / "other.reg").string();
    WriteFile(otherPath, "[HKLM\\K]\n\"V\"=dword:00000003\n");
    RegistryPathOverride other(&otherPath);
    EXPECT_EQ(Query(HKLM, u"K", u"V").data, (Bytes{3, 0, 0, 0}));
}

TEST(PlatformRegistry, AkuAnswersTheKernelReleaseUnlessTheFileSetsIt) {
    const Bytes release = Utf16WithZero(GetKernelRelease());
    {
        RegistryPathOverride none(nullptr);
        const Queried aku = Query(HKLM, u"SYSTEM\\Versions", u"Aku");
        EXPECT_EQ(aku.status, ERROR_SUCCESS);
        EXPECT_EQ(aku.type, REG_SZ);
        EXPECT_EQ(aku.data, release);
        EXPECT_EQ(Query(HKLM, u"system\\versions", u"AKU").data, release);
        EXPECT_EQ(Query(HKLM, u"SYSTEM\\Versions", u"Other").status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Query(HKCU, u"SYSTEM\\Versions", u"Aku").status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Query(HKLM, u"Software\\Quorvelan", u"x").status, ERROR_FILE_NOT_FOUND);
    }
    ScratchDirectory scratch;
    const std::string missing = (scratch.Path() / "missing.reg").string();
    {
        RegistryPathOverride absent(&missing);
        EXPECT_EQ(Query(HKLM, u"SYSTEM\\Versions", u"Aku").data, release);
    }
    const std::string unrelated = (scratch.Path() / "unrelated.reg").string();
    WriteFile(unrelated, "[HKLM\\SYSTEM\\Versions]\n\"Other\"=\"x\"\n");
    {
        RegistryPathOverride file(&unrelated);
        EXPECT_EQ(Query(HKLM, u"SYSTEM\\Versions", u"Aku").data, release);
    }
    const std::string configured = (scratch.Path() / "configured.reg").string();
    WriteFile(configured, "[HKLM\\SYSTEM\\Versions]\n\"Aku\"=dword:00000007\n");
    {
        RegistryPathOverride file(&configured);
        const Queried aku = Query(HKLM, u"SYSTEM\\Versions", u"Aku");
        EXPECT_EQ(aku.type, REG_DWORD);
        EXPECT_EQ(aku.data, (Bytes{7, 0, 0, 0}));
    }
}
