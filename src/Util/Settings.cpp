#include "Util/Settings.h"

#include <iterator>
#include <stdexcept>
#include <vector>

#include "Platform/Format.h"
#include "Platform/Process.h"
#include "Platform/Registry.h"
#include "Util/HrError.h"
#include "Util/ScopedRegistryKey.h"

namespace {

using Platform::RegistryRoot;

constexpr const char* PerProcessKeyFormat = "Software\\Quorvelan\\Profiler\\Pid_%u";
constexpr const WCHAR* MachineWideKey = u"Software\\Quorvelan\\Profiler\\Global";
constexpr size_t KeyNameCapacity = 4096;
// The formatter fails only when the name does not fit its buffer.
constexpr HRESULT KeyNameBufferTooSmall = MakeHResult(0x8007007A);

enum class KeyScope {
    PerProcess,
    MachineWide,
};

struct Place {
    RegistryRoot root;
    KeyScope scope;
};

// Most specific first; only a failure at the last place reaches the caller.
constexpr Place Places[] = {
    {RegistryRoot::CurrentUser, KeyScope::PerProcess},
    {RegistryRoot::LocalMachine, KeyScope::PerProcess},
    {RegistryRoot::LocalMachine, KeyScope::MachineWide},
};

WString KeyName(KeyScope scope) {
    if (scope == KeyScope::MachineWide) {
        return MachineWideKey;
    }
    WString name;
    if (!Platform::FormatWide(&name, KeyNameCapacity, PerProcessKeyFormat,
                              static_cast<unsigned>(Platform::GetCurrentProcessId()))) {
        throw _hr_error("Can't generate key with pid", KeyNameBufferTooSmall);
    }
    return name;
}

template <typename Result, typename Convert>
Result ReadAt(const Place& place, const WCHAR* pValueName, Convert convert) {
    ScopedRegistryKey key;
    key.Open(place.root, KeyName(place.scope));
    DWORD type = Platform::REG_NONE;
    std::vector<BYTE> data;
    key.QueryValue(pValueName, type, data);
    Result result = convert(type, data);
    key.Close();
    return result;
}

template <typename Result, typename Convert>
Result ReadSetting(const WCHAR* pValueName, Convert convert) {
    constexpr size_t last = std::size(Places) - 1;
    for (size_t i = 0; i < last; ++i) {
        try {
            return ReadAt<Result>(Places[i], pValueName, convert);
        } catch (const std::exception&) {
            // Missing or unusable here: a less specific place may still have it.
        }
    }
    return ReadAt<Result>(Places[last], pValueName, convert);
}

bool IsBlank(WCHAR unit) {
    return unit == u' ' || (unit >= u'\t' && unit <= u'\r');
}

// The C library's unsigned decimal conversion with a 32-bit result, as on the device: leading
// blanks and one sign are accepted, a minus negates modulo 2^32, too large a number gives
// 0xFFFFFFFF, and text without digits converts to 0 with nothing consumed. Raises pFailure when
// anything is left after the number.
DWORD ParseDecimal(const WString& text, const char* pFailure) {
    size_t position = 0;
    while (position < text.size() && IsBlank(text[position])) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == u'+' || text[position] == u'-')) {
        negative = text[position] == u'-';
        ++position;
    }
    const size_t firstDigit = position;
    uint64_t value = 0;
    bool overflow = false;
    while (position < text.size() && text[position] >= u'0' && text[position] <= u'9') {
        value = value * 10 + static_cast<uint64_t>(text[position] - u'0');
        if (value > 0xFFFFFFFFu) {
            overflow = true;
            value = 0xFFFFFFFFu;
        }
        ++position;
    }
    if (position == firstDigit) {
        position = 0;  // no number: the whole text remains
    }
    if (position < text.size()) {
        throw std::runtime_error(pFailure);
    }
    auto result = static_cast<DWORD>(value);
    if (negative && !overflow) {
        result = static_cast<DWORD>(0u - result);
    }
    return result;
}

DWORD NumberOf(DWORD type, const std::vector<BYTE>& data, const char* pParseFailure,
               const char* pTypeFailure) {
    if (type == Platform::REG_SZ) {
        return ParseDecimal(ScopedRegistryKey::StringOf(data), pParseFailure);
    }
    if (type == Platform::REG_DWORD && data.size() == sizeof(DWORD)) {
        return static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) |
               (static_cast<DWORD>(data[2]) << 16) | (static_cast<DWORD>(data[3]) << 24);
    }
    throw std::runtime_error(pTypeFailure);
}

}  // namespace

void ReadTempPathSetting(WString& path) {
    path = ReadSetting<WString>(TempPathSettingName, [](DWORD type, const std::vector<BYTE>& data) {
        if (type != Platform::REG_SZ) {
            throw std::runtime_error("Invalid temp path type");
        }
        return ScopedRegistryKey::StringOf(data);
    });
}

void ReadLogMaskSetting(DWORD& mask) {
    mask = ReadSetting<DWORD>(LogMaskSettingName, [](DWORD type, const std::vector<BYTE>& data) {
        return NumberOf(type, data, "Can't parse componet mask", "Invalid component mask type");
    });
}

void ReadAttachSetting(DWORD& value) {
    value = ReadSetting<DWORD>(AttachSettingName, [](DWORD type, const std::vector<BYTE>& data) {
        return NumberOf(type, data, "Can't parse show attach message",
                        "Invalid show attach message type");
    });
}
