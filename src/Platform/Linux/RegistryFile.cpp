#include "Platform/Linux/RegistryFile.h"

#include <optional>

#include "Platform/Linux/NativeText.h"

namespace Platform::Native {

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = LowerAscii(c);
    }
    return lower;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view TrimRight(std::string_view text) {
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text) {
    return TrimRight(TrimLeft(text));
}

// Nothing but blanks, or a comment, may follow a value.
bool IsEndOfValue(std::string_view rest) {
    rest = TrimLeft(rest);
    return rest.empty() || rest.front() == ';';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = LowerAscii(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A quoted text at the start of `text` (which begins with '"'), with \\ and \" unescaped. On
// success `text` is left after the closing quote.
std::optional<std::string> ParseQuoted(std::string_view& text) {
    std::string result;
    size_t i = 1;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return result;
        }
        if (c == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                return std::nullopt;
            }
            result.push_back(text[i + 1]);
            i += 2;
            continue;
        }
        result.push_back(c);
        ++i;
    }
    return std::nullopt;  // no closing quote
}

// Between `minDigits` and `maxDigits` hex digits making the whole of `text`.
std::optional<uint32_t> ParseHexNumber(std::string_view text, size_t minDigits, size_t maxDigits) {
    if (text.size() < minDigits || text.size() > maxDigits) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : text) {
        const int digit = HexValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

// "01,02, ff" (possibly empty) as bytes.
std::optional<std::vector<BYTE>> ParseHexBytes(std::string_view text) {
    std::vector<BYTE> bytes;
    text = Trim(text);
    if (text.empty() || text.front() == ';') {
        return bytes;
    }
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        std::string_view item = text.substr(start, comma == std::string_view::npos ? text.npos
                                                                                   : comma - start);
        const bool last = comma == std::string_view::npos;
        item = Trim(item);
        if (last) {
            const size_t comment = item.find(';');
            if (comment != std::string_view::npos) {
                item = TrimRight(item.substr(0, comment));
            }
        }
        const std::optional<uint32_t> value = ParseHexNumber(item, 2, 2);
        if (!value) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<BYTE>(*value));
        if (last) {
            return bytes;
        }
        start = comma + 1;
    }
}

RegistryValue MakeString(const std::string& utf8) {
    RegistryValue value;
    value.type = REG_SZ;
    const WString text = FromUtf8(utf8);
    value.data.reserve((text.size() + 1) * 2);
    for (WCHAR unit : text) {
        value.data.push_back(static_cast<BYTE>(unit & 0xFF));
        value.data.push_back(static_cast<BYTE>(unit >> 8));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

RegistryValue MakeDword(uint32_t number) {
    RegistryValue value;
    value.type = REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) {
        value.data.push_back(static_cast<BYTE>(number >> shift));
    }
    return value;
}

// The data after "Name"=, except hex lists (their continuation lines are joined by the caller).
// An empty optional means the line is malformed; `remove` is set for "=-".
std::optional<RegistryValue> ParseData(std::string_view data, bool* remove) {
    *remove = false;
    if (!data.empty() && data.front() == '"') {
        std::optional<std::string> text = ParseQuoted(data);
        if (!text || !IsEndOfValue(data)) {
            return std::nullopt;
        }
        return MakeString(*text);
    }
    if (StartsWithIgnoringCase(data, "dword:")) {
        std::string_view digits = data.substr(6);
        const size_t end = digits.find_first_of(" \t;");
        if (end != std::string_view::npos) {
            if (!IsEndOfValue(digits.substr(end))) {
                return std::nullopt;
            }
            digits = digits.substr(0, end);
        }
        // Exactly eight digits, as the format writes them: a cut-off number is absent, not wrong.
        const std::optional<uint32_t> number = ParseHexNumber(digits, 8, 8);
        if (!number) {
            return std::nullopt;
        }
        return MakeDword(*number);
    }
    if (StartsWithIgnoringCase(data, "hex")) {
        std::string_view rest = data.substr(3);
        DWORD type = REG_BINARY;
        if (!rest.empty() && rest.front() == '(') {
            const size_t close = rest.find(')');
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            const std::optional<uint32_t> number = ParseHexNumber(rest.substr(1, close - 1), 1, 8);
            if (!number) {
                return std::nullopt;
            }
            type = *number;
            rest = rest.substr(close + 1);
        }
        if (rest.empty() || rest.front() != ':') {
            return std::nullopt;
        }
        std::optional<std::vector<BYTE>> bytes = ParseHexBytes(rest.substr(1));
        if (!bytes) {
            return std::nullopt;
        }
        RegistryValue value;
        value.type = type;
        value.data = std::move(*bytes);
        return value;
    }
    if (data.size() >= 1 && data.front() == '-' && IsEndOfValue(data.substr(1))) {
        *remove = true;
        return RegistryValue{};
    }
    return std::nullopt;
}

// The text as UTF-8: a UTF-16LE file (with its byte-order mark) is converted, a UTF-8 byte-order
// mark is dropped.
std::string DecodeText(std::string_view text) {
    if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF &&
        static_cast<uint8_t>(text[1]) == 0xFE) {
        WString units;
        units.reserve(text.size() / 2);
        for (size_t i = 2; i + 1 < text.size(); i += 2) {
            units.push_back(static_cast<WCHAR>(static_cast<uint8_t>(text[i]) |
                                               static_cast<uint8_t>(text[i + 1]) << 8));
        }
        return ToUtf8(units);
    }
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    return std::string(text);
}

std::optional<RegistryRoot> ParseRoot(std::string_view name) {
    if (EqualsIgnoringCase(name, "HKEY_LOCAL_MACHINE") || EqualsIgnoringCase(name, "HKLM")) {
        return RegistryRoot::LocalMachine;
    }
    if (EqualsIgnoringCase(name, "HKEY_CURRENT_USER") || EqualsIgnoringCase(name, "HKCU")) {
        return RegistryRoot::CurrentUser;
    }
    return std::nullopt;
}

}  // namespace

std::string RegistryFile::NormalizeKeyPath(std::string_view keyPath) {
    std::string normalized;
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string_view::npos) {
            end = keyPath.size();
        }
        if (end > start) {
            if (!normalized.empty()) {
                normalized.push_back('\\');
            }
            normalized += LowerCase(keyPath.substr(start, end - start));
        }
        start = end + 1;
    }
    return normalized;
}

std::string RegistryFile::KeyId(RegistryRoot root, const std::string& normalizedPath) {
    std::string id = root == RegistryRoot::LocalMachine ? "M" : "U";
    if (!normalizedPath.empty()) {
        id.push_back('\\');
        id += normalizedPath;
    }
    return id;
}

RegistryFile::ValueMap* RegistryFile::DeclareKey(RegistryRoot root,
                                                 const std::string& normalizedPath) {
    const std::string id = KeyId(root, normalizedPath);
    for (size_t slash = id.find('\\'); slash != std::string::npos; slash = id.find('\\', slash + 1)) {
        m_KnownKeys.insert(id.substr(0, slash));
    }
    m_KnownKeys.insert(id);
    return &m_Keys[id];
}

RegistryFile RegistryFile::Parse(std::string_view rawText) {
    RegistryFile file;
    const std::string text = DecodeText(rawText);
    ValueMap* pCurrent = nullptr;  // null: no header yet, or a header that did not parse
    size_t position = 0;
    auto nextLine = [&](std::string_view* line) {
        if (position >= text.size()) {
            return false;
        }
        size_t end = text.find('\n', position);
        if (end == std::string::npos) {
            end = text.size();
        }
        *line = std::string_view(text).substr(position, end - position);
        if (!line->empty() && line->back() == '\r') {
            line->remove_suffix(1);
        }
        position = end + 1;
        return true;
    };

    std::string_view line;
    while (nextLine(&line)) {
        line = Trim(line);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            pCurrent = nullptr;
            const size_t close = line.rfind(']');
            if (close == std::string_view::npos || !IsEndOfValue(line.substr(close + 1))) {
                continue;
            }
            const std::string_view name = line.substr(1, close - 1);
            const size_t slash = name.find('\\');
            const std::optional<RegistryRoot> root = ParseRoot(name.substr(0, slash));
            if (root) {
                const std::string_view path =
                    slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
                pCurrent = file.DeclareKey(*root, NormalizeKeyPath(path));
            }
            continue;
        }
        std::string name;
        std::string_view rest = line;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else if (rest.front() == '"') {
            std::optional<std::string> quoted = ParseQuoted(rest);
            if (!quoted) {
                continue;
            }
            name = std::move(*quoted);
        } else {
            continue;  // the version line, or something this format does not know
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=') {
            continue;
        }
        rest = TrimLeft(rest.substr(1));
        // Hex lists may go on over lines that end in a backslash.
        std::string joined;
        bool truncated = false;
        if (StartsWithIgnoringCase(rest, "hex")) {
            joined.assign(rest);
            while (!joined.empty() && joined.back() == '\\') {
                joined.pop_back();
                std::string_view continuation;
                if (!nextLine(&continuation)) {
                    truncated = true;
                    break;
                }
                joined += Trim(continuation);
            }
            rest = joined;
        }
        bool remove = false;
        std::optional<RegistryValue> value = ParseData(rest, &remove);
        if (truncated || !value || pCurrent == nullptr) {
            continue;
        }
        if (remove) {
            pCurrent->erase(LowerCase(name));
        } else {
            (*pCurrent)[LowerCase(name)] = std::move(*value);
        }
    }
    return file;
}

bool RegistryFile::HasKey(RegistryRoot root, std::string_view keyPath) const {
    const std::string normalized = NormalizeKeyPath(keyPath);
    return normalized.empty() || m_KnownKeys.count(KeyId(root, normalized)) != 0;
}

const RegistryValue* RegistryFile::FindValue(RegistryRoot root, std::string_view keyPath,
                                             std::string_view valueName) const {
    const auto key = m_Keys.find(KeyId(root, NormalizeKeyPath(keyPath)));
    if (key == m_Keys.end()) {
        return nullptr;
    }
    const auto value = key->second.find(LowerCase(valueName));
    return value == key->second.end() ? nullptr : &value->second;
}

}  // namespace Platform::Native
