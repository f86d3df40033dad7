// Copies bytes from one stream to another in chunks of at most 4 MiB through one buffer, with
// progress: two units per started chunk, one after each read and one after each write.
#pragma once

#include <cstdint>

#include "Platform/Types.h"

class BaseProgressIndicator;
class IReadBridgeStream;
class IWriteBridgeStream;

constexpr DWORD CopyStreamChunkSize = 0x400000;

// Begins and ends `pProgress` even when `count` is 0.
void CopyStream(BaseProgressIndicator* pProgress, IReadBridgeStream* pSource,
                IWriteBridgeStream* pTarget, uint64_t count);
