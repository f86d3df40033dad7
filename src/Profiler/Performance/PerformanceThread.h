// The record of one managed thread for the performance profilers: the call tree of what the
// thread ran while measuring was on (inclusive times and call counts per path), and the shadow
// stack of the calls open right now. The tracing hooks and the sampler push and pop frames with
// EnterFrame and LeaveFrame; the profiler switches measuring with Enable and Disable and writes the
// tree into a snapshot with WriteAndDelete.
//
// Threads: the stack and the tree are touched only by the record's own thread's hooks, by the
// sampler, and by the profiler's Enable, Disable, WriteAndDelete and Delete; the profiler's
// measure gate keeps those apart (or the record is already out of the active set), so the record
// takes no lock. Enter and leave allocate nothing except arena blocks and stack growth.
#pragma once

#include <memory>
#include <vector>

#include "Platform/Types.h"
#include "Profiler/BaseThread.h"
#include "Profiler/Performance/CallFrame.h"
#include "Profiler/Performance/CallNode.h"
#include "Profiler/Performance/ChildTable.h"
#include "Profiler/Performance/NodeArena.h"

class BaseProgressIndicator;
class FunctionGatherer;
class ISnapShotStorage;

class PerformanceThread : public BaseThread {
public:
    // Bytes a record holds besides its arena, as GetSize counts them.
    static constexpr UINT64 RecordBytes = 4232;
    static constexpr DWORD InitialFrameCapacity = 256;
    // Work units WriteAndDelete reports to the progress it is given.
    static constexpr DWORD WriteProgressUnits = 20;

    // Frame 0, which holds the root, is pushed here and stays for the record's life.
    explicit PerformanceThread(DWORD number);
    ~PerformanceThread() override = default;

    // Empties the tree (root children, count and time) and frees the arena. "Should be stopped"
    // while measuring.
    void Delete() override;
    // Arena bytes plus RecordBytes: what the profiler counts against its memory limit.
    virtual UINT64 GetSize();
    // Attaches every open frame to a node of the tree, from the root up, starting their times at
    // `time`; with `measurePartly` those nodes are flagged as measured partly. Returns the top
    // frame's internal-time cell.
    virtual UINT64* Enable(UINT64 time, bool measurePartly);
    // Charges every open frame up to `time` (flagging their nodes as measured partly when asked);
    // the frames stay on the stack for a later Enable.
    virtual void Disable(UINT64 time, bool measurePartly);
    // The top frame's internal-time cell, where callers add time not to be charged to the running
    // function; null while not measuring.
    virtual UINT64* GetInternalTimeCell();
    // Writes the tree as the five call-tree sections (tree, aggregates, function index, single
    // functions, per-node function list) and empties it. Begins `pProgress` with
    // WriteProgressUnits and ends it. A tree without children writes nothing.
    virtual void WriteAndDelete(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot,
                                FunctionGatherer* pFunctions);

    // --- Hot path: the hooks and the sampler, on one thread at a time. ---

    bool IsMeasuring() const noexcept { return m_Measuring; }
    // Opens a frame for a call of the function. While measuring, the frame gets the caller's
    // child node for the function, whose call count goes up.
    void EnterFrame(DWORD fuid, UINT64 now) { Push(fuid, 0, now); }
    // The same for a runtime suspension's pseudo-function; its node is flagged special.
    void EnterSpecialFrame(DWORD fuid, UINT64 now) { Push(fuid, 1, now); }
    // Closes the top frame as the return of `fuid` (a different top function is logged as the
    // warning "Unexpected function identifier" and closed all the same).
    void LeaveFrame(DWORD fuid, UINT64 now) {
        if (m_FrameCount > 1 && m_pFrames[m_FrameCount - 1].m_Fuid != fuid) {
            WarnUnexpectedFunction();
        }
        CloseTopFrame(now);
    }
    // Closes the top frame whatever its function. Frame 0 is never closed: with only it left this
    // raises "Invalid index" while measuring, "Stack is empty" otherwise.
    void CloseTopFrame(UINT64 now) {
        if (m_FrameCount <= 1) {
            ThrowNothingToClose();
        }
        if (m_Measuring) {
            CloseFrame(m_pFrames[m_FrameCount - 1], m_pFrames[m_FrameCount - 2], now);
        }
        --m_FrameCount;
    }
    // Adds time not to be charged to the running call (a precise hook's own cost); only while
    // measuring.
    void AddInternalTime(UINT64 time) noexcept {
        if (m_Measuring) {
            m_pFrames[m_FrameCount - 1].m_Internal += time;
        }
    }
    // Frame 0 included.
    DWORD GetFrameCount() const noexcept { return m_FrameCount; }
    const CallFrame& GetTopFrame() const noexcept { return m_pFrames[m_FrameCount - 1]; }
    // Frame 0 is the root's; `index` must be below GetFrameCount().
    const CallFrame& GetFrame(DWORD index) const noexcept { return m_pFrames[index]; }

    // The child of `parent` for the function, made (zeroed) from the arena when missing; the call
    // count is the caller's.
    static CallNode* GetOrAddChild(CallNode& parent, DWORD fuid, NodeArena& arena) {
        CallNode* pChild = parent.HasTable() ? parent.GetTable()->BucketOf(fuid) : parent.GetList();
        for (; pChild != nullptr; pChild = pChild->m_pNext) {
            if (pChild->m_Fuid == fuid) {
                return pChild;
            }
        }
        return AddChild(parent, fuid, arena);
    }
    // The one time rule for a frame that ends at `now`: its node gains the elapsed time less the
    // frame's internal time (0, with a warning, when the times are inconsistent), and the parent
    // frame's internal time gains the frame's, so that overhead inside a callee is not charged to
    // its callers either. Does not pop.
    static void CloseFrame(CallFrame& frame, CallFrame& parent, UINT64 now) {
        ChargeFrame(frame, now);
        parent.m_Internal += frame.m_Internal;
    }
    // CloseFrame without the parent: for frame 0.
    static void ChargeFrame(CallFrame& frame, UINT64 now) {
        const UINT64 total = now - frame.m_Start;
        if ((total >> 56) != 0 || total < frame.m_Internal) {
            WarnInvalidTime(total);
            return;  // counted as 0
        }
        frame.m_pNode->m_Time += total - frame.m_Internal;
    }

    const CallNode& GetRoot() const noexcept { return m_Root; }
    DWORD GetArenaBytes() const noexcept { return m_Arena.GetTotalBytes(); }

    // --- State the tracing profiler keeps per thread. ---

    // The special fuid pushed by this thread's last runtime suspension; 0 for none.
    DWORD GetSuspensionFuid() const noexcept { return m_SuspensionFuid; }
    void SetSuspensionFuid(DWORD fuid) noexcept { m_SuspensionFuid = fuid; }
    // Functions being left by an exception, innermost last.
    std::vector<DWORD>& GetUnwindList() noexcept { return m_UnwindList; }
    bool IsUnwinding() const noexcept { return m_Unwinding; }
    void SetUnwinding(bool unwinding) noexcept { m_Unwinding = unwinding; }

private:
    void Push(DWORD fuid, BYTE special, UINT64 now) {
        if (m_FrameCount == m_FrameCapacity) {
            GrowStack();
        }
        CallFrame& frame = m_pFrames[m_FrameCount];
        frame.m_Fuid = fuid;
        frame.m_Special = special;
        if (m_Measuring) {
            if (m_FrameCount == 0) {
                ThrowStackEmpty();
            }
            CallNode* pNode = GetOrAddChild(*m_pFrames[m_FrameCount - 1].m_pNode, fuid, m_Arena);
            pNode->CountCall();
            if (special != 0) {
                pNode->m_Time |= CallNode::SpecialFlag;
            }
            frame.m_pNode = pNode;
            frame.m_Start = now;
            frame.m_Internal = 0;
        }
        ++m_FrameCount;
    }

    // Makes the missing child: appended to a list of fewer than 4, else placed in a table that
    // the list or a full table turns into.
    static CallNode* AddChild(CallNode& parent, DWORD fuid, NodeArena& arena);
    // Logs "Invalid total time" or "Invalid total/internal time relationship".
    [[gnu::cold, gnu::noinline]] static void WarnInvalidTime(UINT64 total);
    [[gnu::cold, gnu::noinline]] static void WarnUnexpectedFunction();
    [[noreturn, gnu::cold, gnu::noinline]] void ThrowNothingToClose() const;
    [[noreturn, gnu::cold, gnu::noinline]] static void ThrowStackEmpty();
    void GrowStack();
    // Root children, count and time back to 0; the arena freed.
    void DeleteTree() noexcept;

    bool m_Measuring = false;
    DWORD m_SuspensionFuid = 0;
    CallNode m_Root{0, 0, nullptr, 0, 0};
    // The shadow stack: a flat array of m_FrameCapacity frames, doubling when full.
    std::unique_ptr<CallFrame[]> m_pFrames;
    DWORD m_FrameCount = 0;
    DWORD m_FrameCapacity = 0;
    NodeArena m_Arena;
    std::vector<DWORD> m_UnwindList;
    bool m_Unwinding = false;
};
