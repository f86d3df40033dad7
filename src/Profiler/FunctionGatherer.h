// Hands out fuids: small, dense numbers from 1 that stand for a function's (metadata index,
// token) pair for the gatherer's whole life, whatever FunctionIDs the runtime gives the function
// across loads. Fuid 0 means no function. Special tokens (top byte 0xFF) stand for pseudo-functions
// such as runtime suspensions.
#pragma once

#include <atomic>
#include <memory>
#include <unordered_map>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Profiler/PermanentFunctionData.h"
#include "Util/ComRef.h"
#include "Util/SpinLock.h"

class MetaDataGatherer;

class FunctionGatherer {
public:
    // `pMetaData` is not owned and must outlive the gatherer.
    explicit FunctionGatherer(MetaDataGatherer* pMetaData);
    FunctionGatherer(const FunctionGatherer&) = delete;
    FunctionGatherer& operator=(const FunctionGatherer&) = delete;

    // The metadata gatherer's width of metadata index fields.
    virtual BYTE GetIndexByteCount();
    // Fuid 0 gives { 0, 0xFF000000 }; any other fuid must have been handed out. Takes no lock.
    virtual void GetFunctionData(DWORD fuid, PermanentFunctionData& data);
    // Raises "Invalid special token" unless the token's top byte is 0xFF.
    virtual DWORD MapSpecialToken(mdToken token);
    // 0 for FunctionID 0 and for a function the runtime cannot describe yet.
    virtual DWORD MapFunction(FunctionID functionId);
    virtual ~FunctionGatherer();

    void Create(ICorProfilerInfo* pInfo);
    // Releases the runtime interface and forgets every fuid.
    void Close();
    DWORD MapDataToFuid(const PermanentFunctionData& data);

private:
    // The function list lives in segments that never move: segment k holds FirstSegmentSize << k
    // entries, so a fixed table of segment pointers covers every 32-bit fuid and a reader needs
    // no lock to find an entry.
    static constexpr DWORD FirstSegmentShift = 8;
    static constexpr int SegmentCount = 33 - FirstSegmentShift;

    // Where list entry `position` lives: its segment and the offset in it.
    static void Locate(DWORD position, int& segment, DWORD& offset) noexcept;
    // Appends under m_Lock; returns the entry's position.
    DWORD Append(const PermanentFunctionData& data);
    void ClearList();

    MetaDataGatherer* m_pMetaData;
    ComRef<ICorProfilerInfo> m_pInfo;  // set by Create before any mapping, dropped by Close

    // Guards m_Fuids, m_Count and the filling of segments. Taken by runtime threads (callbacks,
    // hooks, stack walks) for one look-up or insertion; nothing else is called while it is held.
    SpinLock m_Lock;
    std::unordered_map<PermanentFunctionData, DWORD, PermanentFunctionDataHash> m_Fuids;
    DWORD m_Count = 0;  // entries in the list; fuid n is entry n - 1
    // Read without the lock by GetFunctionData: a segment is published (release) before any fuid
    // that points into it is handed out, and entries are written before their fuid is returned.
    std::atomic<PermanentFunctionData*> m_Segments[SegmentCount] = {};
};
