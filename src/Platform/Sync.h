// Manual-reset events with waits, and thread-local slots.
#pragma once

#include "Platform/Types.h"

namespace Platform {

// An OS event object; null means "no event".
struct EventObject;
using EventHandle = EventObject*;

enum class WaitResult {
    Signalled,
    TimedOut,
    Abandoned,  // the event was closed while the caller waited
    Failed,     // invalid handle
};

// A manual-reset event, created signalled or not. Returns null on failure.
EventHandle CreateManualResetEvent(bool initiallySignalled);
bool SetEvent(EventHandle event);
bool ResetEvent(EventHandle event);
// Closing wakes every waiter with Abandoned; the handle is invalid afterwards.
bool CloseEvent(EventHandle event);
// Waits at most `milliseconds` (INFINITE: no limit; 0: polls).
WaitResult WaitForEvent(EventHandle event, DWORD milliseconds);

// Thread-local slots, one pointer-sized value per thread and slot.
constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFF;
DWORD TlsAlloc();  // TLS_OUT_OF_INDEXES when none is left
bool TlsFree(DWORD index);
void* TlsGetValue(DWORD index);  // null for a slot never set on this thread
bool TlsSetValue(DWORD index, void* value);

}  // namespace Platform
