// Feeds arbitrary bytes to the module image reader, both as a whole file and as a metadata blob.
// Neither may crash, hang or read outside its input, whatever the bytes hold; raising is fine.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "Bridge/MemoryBridgeStream.h"
#include "Profiler/ModuleImageReader.h"
#include "Util/Log.h"

// The reader's only log line is a warning; the log itself is not linked into this target.
void Log::Warning(const char*) {}

namespace {

// Touches the 16 MVID bytes, so that a pointer outside the blob shows up under the sanitizer.
void UseMvid(const std::vector<BYTE>& blob) {
    try {
        const BYTE* pMvid = FindModuleMvid(blob);
        volatile BYTE sum = 0;
        for (size_t i = 0; i < 16; ++i) {
            sum = static_cast<BYTE>(sum + pMvid[i]);
        }
    } catch (const std::exception&) {
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
