#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Linux/RegistryFile.h"
#include "Platform/Registry.h"
#include "Platform/SystemInfo.h"
#include "support/ScopedRegistryFile.h"
#include "support/ScopedVariable.h"

using namespace Platform;
using Native::RegistryFile;

namespace {

using Bytes = std::vector<BYTE>;
using Value = std::optional<std::pair<DWORD, Bytes>>;

constexpr RegistryRoot HKLM = RegistryRoot::LocalMachine;
constexpr RegistryRoot HKCU = RegistryRoot::CurrentUser;

Bytes Utf16WithZero(const WString& text) {
    Bytes bytes;
    for (WCHAR unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

Value Sz(const WString& text) {
    return std::make_pair(DWORD(REG_SZ), Utf16WithZero(text));
}
Value Dword(uint32_t v) {
    return std::make_pair(DWORD(REG_DWORD),
                          Bytes{BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)});
}
Value Bin(const Bytes& bytes, DWORD type = REG_BINARY) {
    return std::make_pair(type, bytes);
}

// The value's type and bytes, or nothing when the file does not define it.
Value Lookup(const RegistryFile& file, RegistryRoot root, const char* key, const char* name) {
    const Native::RegistryValue* pValue = file.FindValue(root, key, name);
    return pValue == nullptr ? Value() : std::make_pair(pValue->type, pValue->data);
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

}  // namespace

TEST(PlatformRegistryFile, ParsesTypesEscapesNamesCommentsAndSkipsWhatIsMalformed) {
    struct Expect {
        RegistryRoot root;
        const char* key;
        const char* name;
        Value value;
    };
    const char* const key = "Software\\Quorvelan\\Profiler\\Global";
    const struct {
        std::string text;
        std::vector<Expect> expect;
    } files[] = {
        {"Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\n"
         "\"Text\"=\"/tmp/qv\"\n\"Mask\"=dword:0000000a\n\"Big\"=dword:FFFFfffe\n"
         "\"Blob\"=hex:01,02,ff\n\"Empty\"=hex:\n\"Expand\"=hex(2):41,00,00,00\n"
         "\"Quad\"=hex(b):01,00,00,00,00,00,00,80\n\"Long\"=hex:00,01,02,\\\n  03,04\n"
         "@=\"default\"\n\"Accent\"=\"\xC3\xA9\xE2\x82\xAC\"\n",
         {{HKLM, key, "Text", Sz(u"/tmp/qv")},
          {HKLM, key, "Mask", Dword(10)},
          {HKLM, key, "Big", Dword(0xFFFFFFFE)},
          {HKLM, key, "Blob", Bin({1, 2, 0xFF})},
          {HKLM, key, "Empty", Bin({})},
          {HKLM, key, "Expand", Bin({0x41, 0, 0, 0}, REG_EXPAND_SZ)},
          {HKLM, key, "Quad", Bin({1, 0, 0, 0, 0, 0, 0, 0x80}, REG_QWORD)},
          {HKLM, key, "Long", Bin({0, 1, 2, 3, 4})},
          {HKLM, key, "", Sz(u"default")},
          {HKLM, key, "Accent", Sz(u"\u00e9\u20ac")},
          {HKCU, key, "Text", {}}}},
        // Escapes: "\T" is none, so its line is dropped.
        {"[HKCU\\K]\n\"Path\"=\"\\\\Temp\\\\qv\"\n\"Say "
         "\\\"hi\\\"\"=\"a\\\"b\"\n\"Single\"=\"\\Temp\"\n",
         {{HKCU, "K", "Path", Sz(u"\\Temp\\qv")},
          {HKCU, "K", "Say \"hi\"", Sz(u"a\"b")},
          {HKCU, "K", "Single", {}}}},
        // Names ignore case and empty levels.
        {"[hkey_local_machine\\SOFTWARE\\Quorvelan\\]\n\"LogMask\"=DWORD:00000001\n"
         "[HKLM\\software\\\\quorvelan\\Profiler]\n\"Other\"=HEX:05\n",
         {{HKLM, "Software\\quorvelan", "LOGMASK", Dword(1)},
          {HKLM, "\\software\\QUORVELAN\\profiler\\", "other", Bin({5})}}},
        // Byte-order mark, comments, blanks, CR LF line ends.
        {"\xEF\xBB\xBFREGEDIT4\r\n; a comment\r\n   \r\n\t[HKLM\\K] ; the key\r\n"
         "  \"A\" = \"x\"  ; trailing comment\r\n\"B\"=dword:00000002 ;two\r\n"
         ";\"C\"=dword:00000003\r\n\"D\"=hex:01,\\\r\n  02 ; end\r\n",
         {{HKLM, "K", "A", Sz(u"x")},
          {HKLM, "K", "B", Dword(2)},
          {HKLM, "K", "C", {}},
          {HKLM, "K", "D", Bin({1, 2})}}},
        // A malformed line loses only its own value.
        {"[HKLM\\K]\n\"Good1\"=dword:00000001\n\"BadDigit\"=dword:0000000g\n"
         "\"TooLong\"=dword:123456789\n\"TooShort\"=dword:1\n\"OneDigitByte\"=hex:1\n"
         "\"NoDigits\"=dword:\n\"Open\"=\"no closing quote\n\"Junk\"=\"text\" junk\n"
         "\"NoEquals\" \"x\"\n\"BadHex\"=hex:01,2g\n\"TrailingComma\"=hex:01,\n"
         "\"HexByte\"=hex:100\n\"BadType\"=hex(zz):01\n\"Unknown\"=qword:1\n"
         "Name=\"unquoted\"\n\"Good2\"=\"two\"\n",
         {{HKLM, "K", "Good1", Dword(1)},
          {HKLM, "K", "Good2", Sz(u"two")},
          {HKLM, "K", "BadDigit", {}},
          {HKLM, "K", "TooLong", {}},
          {HKLM, "K", "TooShort", {}},
          {HKLM, "K", "OneDigitByte", {}},
          {HKLM, "K", "NoDigits", {}},
          {HKLM, "K", "Open", {}},
          {HKLM, "K", "Junk", {}},
          {HKLM, "K", "NoEquals", {}},
          {HKLM, "K", "BadHex", {}},
          {HKLM, "K", "TrailingComma", {}},
          {HKLM, "K", "HexByte", {}},
          {HKLM, "K", "BadType", {}},
          {HKLM, "K", "Unknown", {}},
          {HKLM, "K", "Name", {}}}},
        // A bad header hides its values until the next header.
        {"\"Orphan\"=dword:00000001\n[HKEY_CLASSES_ROOT\\K]\n\"A\"=dword:00000001\n"
         "[HKLM\\Unclosed\n\"B\"=dword:00000002\n[-HKLM\\Deleted]\n\"C\"=dword:00000003\n"
         "[HKLM\\K] junk\n\"D\"=dword:00000004\n[HKLM\\K]\n\"E\"=dword:00000005\n",
         {{HKLM, "", "Orphan", {}},
          {HKLM, "K", "A", {}},
          {HKLM, "Unclosed", "B", {}},
          {HKLM, "Deleted", "C", {}},
          {HKLM, "K", "D", {}},
          {HKLM, "K", "E", Dword(5)}}},
        // Later definitions win; removals apply.
        {"[HKLM\\K]\n\"A\"=dword:00000001\n\"B\"=dword:00000001\n[HKLM\\Other]\n[HKLM\\K]\n"
         "\"a\"=\"replaced\"\n\"B\"=-\n",
         {{HKLM, "K", "A", Sz(u"replaced")}, {HKLM, "K", "B", {}}}},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.text);
        const RegistryFile file = RegistryFile::Parse(f.text);
        for (const Expect& e : f.expect) {
            EXPECT_EQ(Lookup(file, e.root, e.key, e.name), e.value) << e.key << " " << e.name;
        }
    }

    const RegistryFile levels = RegistryFile::Parse(files[2].text);
    for (const char* present : {"SOFTWARE", "Software\\Quorvelan\\Profiler", ""}) {
        EXPECT_TRUE(levels.HasKey(HKLM, present)) << present;
    }
    EXPECT_TRUE(levels.HasKey(HKCU, ""));
    for (const char* absent : {"Software\\Quorvelan\\Profiler\\Global", "Soft"}) {
        EXPECT_FALSE(levels.HasKey(HKLM, absent)) << absent;
    }
    EXPECT_FALSE(levels.HasKey(HKCU, "Software"));
    const RegistryFile badHeaders = RegistryFile::Parse(files[5].text);
    EXPECT_FALSE(badHeaders.HasKey(HKLM, "Unclosed"));
    EXPECT_FALSE(badHeaders.HasKey(HKLM, "Deleted"));

    // The same content saved as UTF-16LE with its byte-order mark.
    std::string utf16 = "\xFF\xFE";
    for (WCHAR unit : WString(u"[HKLM\\K]\r\n\"A\"=\"\u00e9\"\r\n")) {
        utf16.push_back(static_cast<char>(unit & 0xFF));
        utf16.push_back(static_cast<char>(unit >> 8));
    }
    EXPECT_EQ(Lookup(RegistryFile::Parse(utf16), HKLM, "K", "A"), Sz(u"\u00e9"));
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
        EXPECT_EQ(Lookup(file, HKLM, "K", "A"), length >= endOfA ? Dword(10) : Value());
        EXPECT_EQ(Lookup(file, HKLM, "K", "S").has_value(), length >= endOfS);
        const Value h = Lookup(file, HKLM, "K", "H");
        if (length >= afterContinuation) {  // the continuation line is missing or cut until endOfH
            EXPECT_EQ(h, length >= endOfH ? Bin({1, 2, 3}) : Value());
        }
    }
}

TEST(PlatformRegistry, ReadsTheFileNamedByTheEnvironmentAgainWhenItChanges) {
    ScopedRegistryFile registry(
        "[HKEY_LOCAL_MACHINE\\Software\\Quorvelan\\Profiler\\Global]\r\n"
        "\"QUORVELAN_PROFILER_LOGMASK\"=dword:000fffff\r\n"
        "\"QUORVELAN_PROFILER_TEMP\"=\"/tmp/qv\"\r\n"
        "[HKEY_CURRENT_USER\\Software\\Quorvelan\\Profiler\\Pid_42]\r\n"
        "\"QUORVELAN_PROFILER_ATTACH\"=\"1\"\r\n");
    const std::string path = GetRegistryFilePath();
    ASSERT_EQ(path, std::getenv("QUORVELAN_REGISTRY"));

    const Queried mask =
        Query(HKLM, u"Software\\Quorvelan\\Profiler\\Global", u"quorvelan_profiler_logmask");
    EXPECT_EQ(mask.status, ERROR_SUCCESS);
    EXPECT_EQ(Value(std::make_pair(mask.type, mask.data)), Dword(0x000FFFFF));
    const Queried temp =
        Query(HKLM, u"SOFTWARE\\Quorvelan\\Profiler\\Global", u"QUORVELAN_PROFILER_TEMP");
    EXPECT_EQ(Value(std::make_pair(temp.type, temp.data)), Sz(u"/tmp/qv"));
    EXPECT_EQ(Query(HKCU, u"Software\\Quorvelan\\Profiler\\Pid_42", u"QUORVELAN_PROFILER_ATTACH").data,
              Utf16WithZero(u"1"));
    EXPECT_EQ(Query(HKLM, u"Software\\Quorvelan\\Profiler\\Pid_42", u"x").status,
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(HKLM, u"Software\\Quorvelan\\Profiler\\Global", u"Missing").status,
              ERROR_FILE_NOT_FOUND);

    // Sizes and short buffers.
    std::ofstream(path, std::ios::trunc)
        << "[HKLM\\K]\n\"S\"=\"abc\"\n\"Z\"=hex:\n\"V\"=dword:00000001\n";
    RegistryKey key = nullptr;
    ASSERT_EQ(RegOpenKey(HKLM, u"K", &key), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValue(key, u"S", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u);
    BYTE buffer[8] = {};
    size = 4;
    EXPECT_EQ(RegQueryValue(key, u"S", nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    size = 8;
    EXPECT_EQ(RegQueryValue(key, u"S", nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(buffer, buffer + 8), Utf16WithZero(u"abc"));
    EXPECT_EQ(RegQueryValue(key, u"S", nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    size = 99;
    EXPECT_EQ(RegQueryValue(key, u"Z", &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValue(nullptr, u"S", &type, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKey(HKLM, u"K", nullptr), ERROR_INVALID_PARAMETER);

    // A changed file is read again; an open key keeps what it had.
    std::ofstream(path, std::ios::trunc) << "[HKLM\\K]\n\"V\"=dword:00000002\n; now longer\n";
    EXPECT_EQ(Query(HKLM, u"K", u"V").data, (Bytes{2, 0, 0, 0}));
    size = sizeof(buffer);
    EXPECT_EQ(RegQueryValue(key, u"V", nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    ScopedRegistryFile other("[HKLM\\K]\n\"V\"=dword:00000003\n");
    EXPECT_EQ(Query(HKLM, u"K", u"V").data, (Bytes{3, 0, 0, 0}));
}

TEST(PlatformRegistry, AkuAnswersTheKernelReleaseUnlessTheFileSetsIt) {
    const Value release = Sz(GetKernelRelease());
    auto aku = [](const WString& key = u"SYSTEM\\Versions", const WString& name = u"Aku",
                  RegistryRoot root = HKLM) {
        const Queried q = Query(root, key, name);
        return q.status == ERROR_SUCCESS ? Value(std::make_pair(q.type, q.data)) : Value();
    };
    {
        ScopedVariable none("QUORVELAN_REGISTRY", nullptr);
        EXPECT_EQ(aku(), release);
        EXPECT_EQ(aku(u"system\\versions", u"AKU"), release);
        EXPECT_EQ(Query(HKLM, u"SYSTEM\\Versions", u"Other").status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Query(HKCU, u"SYSTEM\\Versions", u"Aku").status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Query(HKLM, u"Software\\Quorvelan", u"x").status, ERROR_FILE_NOT_FOUND);
    }
    {
        ScopedVariable missing("QUORVELAN_REGISTRY", "/nonexistent/dir/missing.reg");
        EXPECT_EQ(aku(), release);
    }
    {
        ScopedRegistryFile unrelated("[HKLM\\SYSTEM\\Versions]\n\"Other\"=\"x\"\n");
        EXPECT_EQ(aku(), release);
    }
    ScopedRegistryFile configured("[HKLM\\SYSTEM\\Versions]\n\"Aku\"=dword:00000007\n");
    EXPECT_EQ(aku(), Dword(7));
}
