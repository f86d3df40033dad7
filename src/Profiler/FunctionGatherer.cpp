#include "Profiler/FunctionGatherer.h"

#include <bit>
#include <stdexcept>

#include "Profiler/MetaDataGatherer.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr DWORD SpecialTokenMask = 0xFF000000;
constexpr DWORD NoFunctionToken = 0xFF000000;

bool IsLogging() noexcept {
    return Log::IsEnabled(LogComponent::SignatureGt);
}

}  // namespace

FunctionGatherer::FunctionGatherer(MetaDataGatherer* pMetaData) : m_pMetaData(pMetaData) {}

FunctionGatherer::~FunctionGatherer() {
    ClearList();
}

BYTE FunctionGatherer::GetIndexByteCount() {
    return m_pMetaData->GetIndexByteCount();
}

void FunctionGatherer::Create(ICorProfilerInfo* pInfo) {
    if (IsLogging()) {
        Log::Message("FG::Create");
    }
    if (pInfo == nullptr) {
        throw std::runtime_error("Invalid profiler info interface");
    }
    m_pInfo = pInfo;
}

void FunctionGatherer::Close() {
    if (IsLogging()) {
        Log::Message("FG::Close");
    }
    m_pInfo = nullptr;
    SpinLockGuard guard(m_Lock);
    m_Fuids.clear();
    ClearList();
}

void FunctionGatherer::Locate(DWORD position, int& segment, DWORD& offset) noexcept {
    // Segment k starts at position FirstSegmentSize * (2^k - 1).
    const DWORD scaled = (position >> FirstSegmentShift) + 1;
    segment = std::bit_width(scaled) - 1;
    offset = position - (((DWORD{1} << segment) - 1) << FirstSegmentShift);
}

DWORD FunctionGatherer::Append(const PermanentFunctionData& data) {
    const DWORD position = m_Count;
    int segment = 0;
    DWORD offset = 0;
    Locate(position, segment, offset);
    PermanentFunctionData* pSegment = m_Segments[segment].load(std::memory_order_relaxed);
    if (pSegment == nullptr) {
        pSegment = new PermanentFunctionData[size_t{1} << (segment + FirstSegmentShift)];
        // Published before any fuid in it is handed out; readers load it with acquire.
        m_Segments[segment].store(pSegment, std::memory_order_release);
    }
    pSegment[offset] = data;
    m_Count = position + 1;
    return position;
}

void FunctionGatherer::ClearList() {
    for (auto& slot : m_Segments) {
        delete[] slot.exchange(nullptr, std::memory_order_relaxed);
    }
    m_Count = 0;
}

void FunctionGatherer::GetFunctionData(DWORD fuid, PermanentFunctionData& data) {
    if (fuid == 0) {
        data = PermanentFunctionData{0, NoFunctionToken};
        return;
    }
    int segment = 0;
    DWORD offset = 0;
    Locate(fuid - 1, segment, offset);
    // The caller received the fuid after its entry was written (see m_Segments).
    data = m_Segments[segment].load(std::memory_order_acquire)[offset];
}

DWORD FunctionGatherer::MapSpecialToken(mdToken token) {
    if ((token & SpecialTokenMask) != SpecialTokenMask) {
        throw std::runtime_error("Invalid special token");
    }
    return MapDataToFuid(PermanentFunctionData{0, token});
}

DWORD FunctionGatherer::MapFunction(FunctionID functionId) {
    if (functionId == 0) {
        return 0;
    }
    ModuleID moduleId = 0;
    mdToken token = 0;
    const HRESULT hr = m_pInfo->GetFunctionInfo(functionId, nullptr, &moduleId, &token);
    if (hr == CORPROF_E_DATAINCOMPLETE) {
        return 0;
    }
    if (FAILED(hr)) {
        throw _hr_error("Can't get function info", hr);
    }
    const DWORD index = m_pMetaData->GetMetaDataIndex(moduleId);
    return MapDataToFuid(PermanentFunctionData{index, token});
}

DWORD FunctionGatherer::MapDataToFuid(const PermanentFunctionData& data) {
    DWORD fuid = 0;
    {
        SpinLockGuard guard(m_Lock);
        auto found = m_Fuids.find(data);
        if (found != m_Fuids.end()) {
            return found->second;
        }
        // Entered first, so that a failing append leaves no fuid behind without its entry.
        auto entered = m_Fuids.emplace(data, m_Count + 1).first;
        try {
            fuid = Append(data) + 1;
        } catch (...) {
            m_Fuids.erase(entered);
            throw;
        }
    }
    if (IsLogging()) {
        Log::Format("FG::MapDataToFuid mdi=%u tk=%08X fuid=%p", data.metaDataIndex, data.token,
                    reinterpret_cast<void*>(static_cast<UINT_PTR>(fuid)));
    }
    return fuid;
}
