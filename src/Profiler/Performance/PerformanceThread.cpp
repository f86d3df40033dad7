#include "Profiler/Performance/PerformanceThread.h"

#include <algorithm>
#include <stdexcept>

#include "Profiler/Performance/CallTreeWriter.h"
#include "ProgressIndicator/BaseProgressIndicator.h"
#include "Util/Assert.h"
#include "Util/Log.h"

namespace {

// A list holds at most this many children; one more turns it into a table.
constexpr DWORD ListLimit = 4;

bool IsLogging() noexcept {
    return Log::IsEnabled(LogComponent::ThreadGt);
}

const char* BoolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

PerformanceThread::PerformanceThread(DWORD number)
    : BaseThread(number),
      m_pFrames(new CallFrame[InitialFrameCapacity]),
      m_FrameCapacity(InitialFrameCapacity) {
    m_pFrames[0] = CallFrame{0, 0, &m_Root, 0, 0};
    m_FrameCount = 1;
}

void PerformanceThread::Delete() {
    if (IsLogging()) {
        Log::Format("PThrd::Delete id=%08X", GetNumber());
    }
    if (m_Measuring) {
        throw std::runtime_error("Should be stopped");
    }
    DeleteTree();
}

UINT64 PerformanceThread::GetSize() {
    return m_Arena.GetTotalBytes() + RecordBytes;
}

UINT64* PerformanceThread::Enable(UINT64 time, bool measurePartly) {
    if (IsLogging()) {
        Log::Format("PThrd::Enable id=%08X measurePartly=%s", GetNumber(), BoolText(measurePartly));
    }
    if (!IsActive()) {
        throw std::runtime_error("Thread is inactive");
    }
    if (m_Measuring) {
        throw std::runtime_error("Already started");
    }
    if (m_FrameCount == 0 || m_pFrames[0].m_pNode != &m_Root) {
        throw std::runtime_error("Invalid root data node pointer");
    }
    if (m_pFrames[0].m_Fuid != 0) {
        throw std::runtime_error("Invalid root fid");
    }
    for (DWORD i = 0; i < m_FrameCount; ++i) {
        CallFrame& frame = m_pFrames[i];
        if (i > 0) {
            // Reattached without counting a call: the calls began before measuring did.
            frame.m_pNode = GetOrAddChild(*m_pFrames[i - 1].m_pNode, frame.m_Fuid, m_Arena);
            if (frame.m_Special != 0) {
                frame.m_pNode->m_Time |= CallNode::SpecialFlag;
            }
        }
        frame.m_Start = time;
        frame.m_Internal = 0;
        if (measurePartly) {
            frame.m_pNode->m_Time |= CallNode::MeasuredPartlyFlag;
        }
    }
    m_Measuring = true;
    return &m_pFrames[m_FrameCount - 1].m_Internal;
}

void PerformanceThread::Disable(UINT64 time, bool measurePartly) {
    if (IsLogging()) {
        Log::Format("PThrd::Disable id=%08X measurePartly=%s", GetNumber(),
                    BoolText(measurePartly));
    }
    if (!IsActive()) {
        throw std::runtime_error("Thread is inactive");
    }
    if (!m_Measuring) {
        throw std::runtime_error("Already stopped");
    }
    if (m_FrameCount < 1) {
        throw std::runtime_error("Invalid call node count");
    }
    m_Measuring = false;
    for (DWORD i = m_FrameCount - 1; i > 0; --i) {
        if (measurePartly) {
            m_pFrames[i].m_pNode->m_Time |= CallNode::MeasuredPartlyFlag;
        }
        CloseFrame(m_pFrames[i], m_pFrames[i - 1], time);
    }
    if (measurePartly) {
        m_Root.m_Time |= CallNode::MeasuredPartlyFlag;
    }
    ChargeFrame(m_pFrames[0], time);
}

UINT64* PerformanceThread::GetInternalTimeCell() {
    if (!m_Measuring) {
        return nullptr;
    }
    if (m_FrameCount == 0) {
        ThrowStackEmpty();
    }
    return &m_pFrames[m_FrameCount - 1].m_Internal;
}

void PerformanceThread::WriteAndDelete(BaseProgressIndicator* pProgress,
                                       ISnapShotStorage* pSnapshot, FunctionGatherer* pFunctions) {
    if (IsLogging()) {
        Log::Format("PThrd::WriteAndDelete id=%08X capacity=%u", GetNumber(),
                    m_Arena.GetTotalBytes());
    }
    if (m_Measuring) {
        throw std::runtime_error("Should be stopped");
    }
    QV_ASSERT(pProgress != NULL);
    QV_ASSERT(pSnapshot != NULL);
    QV_ASSERT(pFunctions != NULL);
    pProgress->Begin(WriteProgressUnits);
    if (m_Root.HasChildren()) {
        CallTreeWriter writer(m_Root, *pFunctions);
        writer.Prepare();
        pProgress->Step(1);
        writer.LookUpFunctions();
        pProgress->Step(1);
        writer.Write(*pSnapshot, GetNumber(), GetActivationCount(), GetName(), *pProgress);
    }
    DeleteTree();
    pProgress->End();
}

CallNode* PerformanceThread::AddChild(CallNode& parent, DWORD fuid, NodeArena& arena) {
    if (!parent.HasTable()) {
        DWORD length = 0;
        CallNode* pLast = nullptr;
        for (CallNode* pChild = parent.GetList(); pChild != nullptr; pChild = pChild->m_pNext) {
            if (pChild->m_Fuid == fuid) {
                return pChild;
            }
            pLast = pChild;
            ++length;
        }
        CallNode* pNode = arena.NewNode(fuid);
        if (length < ListLimit) {
            if (pLast != nullptr) {
                pLast->m_pNext = pNode;
            } else {
                parent.m_Children = reinterpret_cast<UINT_PTR>(pNode);
            }
            return pNode;
        }
        ChildTable* pTable = ChildTable::Create(arena, length + 1);
        for (CallNode* pChild = parent.GetList(); pChild != nullptr;) {
            CallNode* pNext = pChild->m_pNext;
            pTable->PushFront(pChild);
            pChild = pNext;
        }
        pTable->PushFront(pNode);
        pTable->SetCount(length + 1);
        parent.m_Children = reinterpret_cast<UINT_PTR>(pTable) | CallNode::TableTag;
        return pNode;
    }

    ChildTable* pTable = parent.GetTable();
    CallNode*& head = pTable->BucketOf(fuid);
    if (head == nullptr) {
        head = arena.NewNode(fuid);
        pTable->SetCount(pTable->GetCount() + 1);
        return head;
    }
    CallNode* pLast = head;
    for (CallNode* pChild = head; pChild != nullptr; pChild = pChild->m_pNext) {
        if (pChild->m_Fuid == fuid) {
            return pChild;
        }
        pLast = pChild;
    }
    CallNode* pNode = arena.NewNode(fuid);
    const DWORD count = pTable->GetCount();
    if (count < pTable->GetBucketCount()) {
        pLast->m_pNext = pNode;
        pTable->SetCount(count + 1);
        return pNode;
    }
    // A collision in a table as full as it has buckets: rehash into the next size.
    ChildTable* pGrown = ChildTable::Create(arena, count + 1);
    CallNode** pBuckets = pTable->GetBuckets();
    for (DWORD bucket = 0; bucket < pTable->GetBucketCount(); ++bucket) {
        for (CallNode* pChild = pBuckets[bucket]; pChild != nullptr;) {
            CallNode* pNext = pChild->m_pNext;
            pGrown->PushFront(pChild);
            pChild = pNext;
        }
    }
    pGrown->PushFront(pNode);
    pGrown->SetCount(count + 1);
    parent.m_Children = reinterpret_cast<UINT_PTR>(pGrown) | CallNode::TableTag;
    return pNode;
}

void PerformanceThread::WarnInvalidTime(UINT64 total) {
    Log::Warning((total >> 56) != 0 ? "Invalid total time"
                                    : "Invalid total/internal time relationship");
}

void PerformanceThread::WarnUnexpectedFunction() {
    Log::Warning("Unexpected function identifier");
}

void PerformanceThread::ThrowNothingToClose() const {
    throw std::runtime_error(m_Measuring ? "Invalid index" : "Stack is empty");
}

void PerformanceThread::ThrowStackEmpty() {
    throw std::runtime_error("Stack is empty");
}

void PerformanceThread::GrowStack() {
    const DWORD capacity = m_FrameCapacity == 0 ? 4 : m_FrameCapacity * 2;
    std::unique_ptr<CallFrame[]> pFrames(new CallFrame[capacity]);
    std::copy(m_pFrames.get(), m_pFrames.get() + m_FrameCount, pFrames.get());
    m_pFrames = std::move(pFrames);
    m_FrameCapacity = capacity;
}

void PerformanceThread::DeleteTree() noexcept {
    m_Root.Reset();
    m_Arena.Free();
}
