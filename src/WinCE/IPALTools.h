// The host's service that carries the bridge connection. Called by slot; the order is fixed.
#pragma once

#include "Platform/Types.h"

using PALStreamHandle = void*;
// Runs on a host thread once the service has started; its result is the service's exit status.
using PALServiceProc = DWORD (*)(PALStreamHandle hStream, void* pContext);

// Largest chunk one Write or Read call carries.
constexpr DWORD PAL_MAX_TRANSFER = 16384;

struct IPALTools : IUnknown {
    // Slot 3. The host later calls pProc on a thread of its own with a stream handle.
    virtual HRESULT STDMETHODCALLTYPE StartService(LPCWSTR serviceId, DWORD reserved0,
                                                   PALServiceProc pProc, DWORD reserved1,
                                                   void* pContext) = 0;
    // Slot 4. At most PAL_MAX_TRANSFER bytes a call.
    virtual HRESULT STDMETHODCALLTYPE Write(PALStreamHandle hStream, const void* pData,
                                            DWORD length) = 0;
    // Slot 5. Success with 0 bytes read means nothing has arrived yet.
    virtual HRESULT STDMETHODCALLTYPE Read(PALStreamHandle hStream, void* pBuffer, DWORD capacity,
                                           DWORD* pRead) = 0;
    // Slot 6. Called once when the service procedure ends.
    virtual HRESULT STDMETHODCALLTYPE CloseStream(PALStreamHandle hStream) = 0;
};

// {6A421153-6705-43CF-A438-F77FF4B90336}
constexpr IID IID_IPALTools = {0x6A421153, 0x6705, 0x43CF,
                               {0xA4, 0x38, 0xF7, 0x7F, 0xF4, 0xB9, 0x03, 0x36}};
