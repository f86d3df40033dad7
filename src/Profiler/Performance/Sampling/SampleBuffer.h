// The sampling thread's buffer for one stack walk: the runtime's stack-snapshot callback appends
// each frame's FunctionID (0 for a run of unmanaged frames), innermost first, and the walk is then
// turned into the fuids of its frames, outermost first. Room for 262144 frames is taken once, for
// the sampling thread's life, so a sample allocates nothing.
#pragma once

#include <span>
#include <vector>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"

class SampleBuffer {
public:
    static constexpr size_t Capacity = 262144;

    SampleBuffer();

    // The StackSnapshotCallback; clientData is the buffer. A full buffer answers E_FAIL, which
    // ends the walk.
    static HRESULT STDMETHODCALLTYPE OnFrame(FunctionID funcId, UINT_PTR ip,
                                             COR_PRF_FRAME_INFO frameInfo, ULONG32 contextSize,
                                             BYTE context[], void* clientData);

    void Clear() noexcept {
        m_Walked.clear();
        m_Fuids.clear();
    }
    const std::vector<FunctionID>& Walked() const noexcept { return m_Walked; }

    // The walked frames as fuids, outermost first: an outermost 0 (the stack starts in unmanaged
    // code) is dropped, any other 0 stays as a frame of fuid 0. mapFunction(FunctionID) gives a
    // frame's fuid.
    template <class MapFunction>
    void Normalise(MapFunction&& mapFunction) {
        m_Fuids.clear();
        size_t count = m_Walked.size();
        if (count > 0 && m_Walked[count - 1] == 0) {
            --count;
        }
        for (size_t i = count; i > 0; --i) {
            const FunctionID functionId = m_Walked[i - 1];
            m_Fuids.push_back(functionId == 0 ? 0 : mapFunction(functionId));
        }
    }
    // Replaces the sample by one frame (an unwalkable stack).
    void SetSingle(DWORD fuid) { m_Fuids.assign(1, fuid); }
    // Adds an innermost frame (a runtime suspension).
    void AppendInnermost(DWORD fuid) { m_Fuids.push_back(fuid); }
    std::span<const DWORD> Fuids() const noexcept { return m_Fuids; }

private:
    std::vector<FunctionID> m_Walked;
    std::vector<DWORD> m_Fuids;
};
