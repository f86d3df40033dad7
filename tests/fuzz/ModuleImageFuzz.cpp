// Feeds arbitrary bytes to the module image reader, both as a whole file and as a metadata blob.
// Neither may crash, hang or read outside its input, whatever the bytes hold; raising is fine.
// The MVID read from a stream must match the one found in the blob in memory, failure for failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "Bridge/MemoryBridgeStream.h"
#include "Profiler/ModuleImageReader.h"
#include "Util/Log.h"

// The reader's only log line is a warning; the log itself is not linked into this target.
void Log::Warning(const char*) {}

namespace {

// Touches the 16 MVID bytes, so that a pointer outside the blob shows up under the sanitizer, and
// compares them with the stream's reading.
void UseMvid(const std::vector<BYTE>& blob) {
    std::string failures[2];
    BYTE mvids[2][16] = {};
    try {
        const BYTE* pMvid = FindModuleMvid(blob);
        std::memcpy(mvids[0], pMvid, 16);
    } catch (const std::exception& e) {
        failures[0] = e.what();
    }
    try {
        MemoryBridgeStream stream(blob.data(), blob.size());
        ReadModuleMvid(stream, MetaDataLocation{0, 0, static_cast<DWORD>(blob.size())}, mvids[1]);
    } catch (const std::exception& e) {
        failures[1] = e.what();
    }
    if (failures[0] != failures[1] || std::memcmp(mvids[0], mvids[1], 16) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        MemoryBridgeStream stream(data, size);
        std::vector<BYTE> blob;
        if (ReadModuleMetaData(stream, blob)) {
            UseMvid(blob);
        }
    } catch (const std::exception&) {
    }
    UseMvid(std::vector<BYTE>(data, data + size));
    return 0;
}
