// Feeds arbitrary bytes to the registry file parser and looks values up in the result. The parser
// must never crash, hang or read out of bounds, whatever the file holds.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Platform/Linux/RegistryFile.h"

using Platform::RegistryRoot;
using Platform::Native::RegistryFile;
using Platform::Native::RegistryValue;

namespace {

// Asks for the keys and values a device actually reads, plus a path taken from the input itself.
void Probe(const RegistryFile& file, std::string_view input) {
    static constexpr std::string_view keys[] = {
        "Software\\Quorvelan\\Profiler\\Global",
        "Software\\Quorvelan\\Profiler\\Pid_42",
        "SYSTEM\\Versions",
        "",
    };
    static constexpr std::string_view names[] = {
        "QUORVELAN_PROFILER_TEMP", "QUORVELAN_PROFILER_LOGMASK", "QUORVELAN_PROFILER_ATTACH",
        "Aku", "",
    };
    const std::string_view fromInput = input.substr(0, input.find('\n'));
    for (RegistryRoot root : {RegistryRoot::LocalMachine, RegistryRoot::CurrentUser}) {
        for (std::string_view key : keys) {
            (void)file.HasKey(root, key);
            for (std::string_view name : names) {
                if (const RegistryValue* pValue = file.FindValue(root, key, name)) {
                    volatile size_t size = pValue->data.size();
                    (void)size;
                }
            }
        }
        (void)file.HasKey(root, fromInput);
        (void)file.FindValue(root, fromInput, fromInput);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const RegistryFile file = RegistryFile::Parse(input);
    Probe(file, input);
    return 0;
}
