// The parsed content of a registry file in the ".reg" text format. Private to the Linux
// implementation of the registry (and its tests and fuzz target).
//
// Accepted: an optional "Windows Registry Editor Version 5.00" / "REGEDIT4" line; key headers
// "[HKEY_LOCAL_MACHINE\...]" and "[HKEY_CURRENT_USER\...]" (also HKLM and HKCU); values
// "Name"="text" (escapes \\ and \" only), "Name"=dword:0000000a (exactly 8 hex digits),
// "Name"=hex:01,02 (binary, two digits a byte; lines may continue after a trailing "\"),
// "Name"=hex(N):... (type N),
// "@"-named default values, "Name"=- (removes an earlier definition), ";" comments and blank lines.
// The text is UTF-8 (an optional byte-order mark) or UTF-16LE with its byte-order mark; lines end
// in LF or CRLF. A line that does not parse defines nothing; a header that does not parse makes
// the values below it unreachable until the next header. Key and value names compare without
// regard to ASCII case; empty key levels ("A\\B", a trailing "\") are ignored.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Registry.h"

namespace Platform::Native {

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;  // REG_SZ: 16-bit text with its terminating zero, little-endian
};

class RegistryFile {
public:
    // Never fails: whatever cannot be read is left out.
    static RegistryFile Parse(std::string_view text);

    // A key exists when the file names it or a key below it. The root itself always exists.
    bool HasKey(RegistryRoot root, std::string_view keyPath) const;
    // Null when the key or the value is not defined.
    const RegistryValue* FindValue(RegistryRoot root, std::string_view keyPath,
                                   std::string_view valueName) const;

    // The canonical form of a key path: lower-case ASCII, single "\" between non-empty levels.
    static std::string NormalizeKeyPath(std::string_view keyPath);

private:
    using ValueMap = std::map<std::string, RegistryValue>;  // by lower-case value name

    static std::string KeyId(RegistryRoot root, const std::string& normalizedPath);
    ValueMap* DeclareKey(RegistryRoot root, const std::string& normalizedPath);

    std::map<std::string, ValueMap> m_Keys;  // by KeyId
    std::set<std::string> m_KnownKeys;       // every declared key and all its ancestors
};

}  // namespace Platform::Native
