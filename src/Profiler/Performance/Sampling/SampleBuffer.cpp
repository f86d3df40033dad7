#include "Profiler/Performance/Sampling/SampleBuffer.h"

SampleBuffer::SampleBuffer() {
    m_Walked.reserve(Capacity);
    // One more for a suspension frame after a full walk.
    m_Fuids.reserve(Capacity + 1);
}

HRESULT STDMETHODCALLTYPE SampleBuffer::OnFrame(FunctionID funcId, UINT_PTR, COR_PRF_FRAME_INFO,
                                                ULONG32, BYTE[], void* clientData) {
    auto* pBuffer = static_cast<SampleBuffer*>(clientData);
    if (pBuffer->m_Walked.size() >= Capacity) {
        return E_FAIL;
    }
    pBuffer->m_Walked.push_back(funcId);
    return S_OK;
}
