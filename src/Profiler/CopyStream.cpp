#include "Profiler/CopyStream.h"

#include <algorithm>
#include <memory>

#include "Bridge/IReadBridgeStream.h"
#include "Bridge/IWriteBridgeStream.h"
#include "ProgressIndicator/BaseProgressIndicator.h"
#include "Util/Assert.h"

void CopyStream(BaseProgressIndicator* pProgress, IReadBridgeStream* pSource,
                IWriteBridgeStream* pTarget, uint64_t count) {
    QV_ASSERT(pProgress != NULL);
    const uint64_t chunks = (count + CopyStreamChunkSize - 1) / CopyStreamChunkSize;
    pProgress->Begin(static_cast<DWORD>(chunks * 2));
    if (count != 0) {
        // One buffer for the whole copy; a copy shorter than a chunk needs no more than itself.
        const size_t bufferSize =
            static_cast<size_t>(std::min<uint64_t>(count, CopyStreamChunkSize));
        std::unique_ptr<BYTE[]> pBuffer(new BYTE[bufferSize]);
        uint64_t left = count;
        while (left != 0) {
            const size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, bufferSize));
            pSource->Read(pBuffer.get(), chunk);
            pProgress->Step(1);
            pTarget->Write(pBuffer.get(), chunk);
            pProgress->Step(1);
            left -= chunk;
        }
    }
    pProgress->End();
}
