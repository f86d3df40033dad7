#include "Profiler/Performance/CallTreeWriter.h"

#include <algorithm>
#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/BufferedWriteStream.h"
#include "Bridge/ISnapShotStorage.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/Performance/CallNode.h"
#include "Profiler/Performance/ChildTable.h"
#include "ProgressIndicator/BaseProgressIndicator.h"
#include "ProgressIndicator/ChildProgressIndicator.h"
#include "Util/Log.h"

namespace {

constexpr size_t SectionBufferSize = 64 * 1024;
constexpr DWORD RootToken = 0xFFFFFFFF;
const PermanentFunctionData RootData{0, RootToken};

// The smallest n >= 1 with v < 2^(8n - 1): the top bit stays free, so that -1 (all bytes 0xFF)
// can stand for no value.
unsigned PositionWidth(int64_t value) {
    if (value < 0) {
        throw std::runtime_error("Negative value is prohibited");
    }
    unsigned width = 1;
    while (width < 8 && value >= (int64_t{1} << (8 * width - 1))) {
        ++width;
    }
    return width;
}

// Bytes of a time value, at least 1; times have no "no value".
unsigned TimeWidth(UINT64 value) {
    unsigned width = 1;
    while (width < 8 && (value >> (8 * width)) != 0) {
        ++width;
    }
    return width;
}

// Calls visit(const CallNode&) for each child in iteration order: a list from its first entry, a
// table bucket by bucket from bucket 0, each chain from its head.
template <class Visit>
void ForEachChild(const CallNode& node, Visit&& visit) {
    if (!node.HasTable()) {
        for (const CallNode* pChild = node.GetList(); pChild != nullptr; pChild = pChild->m_pNext) {
            visit(*pChild);
        }
        return;
    }
    const ChildTable& table = *node.GetTable();
    CallNode* const* pBuckets = table.GetBuckets();
    for (DWORD bucket = 0; bucket < table.GetBucketCount(); ++bucket) {
        for (const CallNode* pChild = pBuckets[bucket]; pChild != nullptr;
             pChild = pChild->m_pNext) {
            visit(*pChild);
        }
    }
}

void WritePosition(IWriteBridgeStream& stream, int64_t position, unsigned width) {
    if (position < 0) {
        WriteSizedNone(stream, width);
    } else {
        WriteSized(stream, static_cast<uint64_t>(position), width);
    }
}

[[gnu::always_inline]] inline BYTE* EncodePosition(BYTE* p, int64_t position, unsigned width) {
    return position < 0 ? EncodeSizedNone(p, width)
                        : EncodeSized(p, static_cast<uint64_t>(position), width);
}

// Room reserved for one piece of a record encoded in place: the fixed fields of a node record,
// one child entry, one instance, a chunk's head or a summary (each at most 67 bytes).
constexpr size_t PieceBytes = 80;

}  // namespace

struct CallTreeWriter::Instance {
    int64_t m_Offset;
    int64_t m_CallerOffset;
    UINT64 m_Total;
    UINT64 m_Own;
    DWORD m_CallCount;
    DWORD m_CallerFunction;  // RootFunction for the root
};

struct CallTreeWriter::Aggregate {
    UINT64 m_OwnSum = 0;
    UINT64 m_TotalSum = 0;
    UINT64 m_CallSum = 0;
    int64_t m_Lowest = INT64_MAX;
    int64_t m_Highest = -1;
    bool m_Recursive = false;
    DWORD m_InstanceCount = 0;
    int64_t m_LastChunk = -1;  // position of the chunk written last, -1 for none
    std::vector<Instance> m_Buffer;
};

CallTreeWriter::CallTreeWriter(const CallNode& root, FunctionGatherer& functions)
    : m_Root(root), m_Functions(functions) {}

CallTreeWriter::~CallTreeWriter() = default;

DWORD CallTreeWriter::FunctionOf(DWORD fuid) {
    auto [pEntry, added] =
        m_FunctionIndex.try_emplace(fuid, static_cast<DWORD>(m_FunctionTable.size()));
    if (added) {
        m_FunctionTable.push_back(FunctionEntry{fuid, 0, NoNode, {}, nullptr});
    }
    return pEntry->second;
}

void CallTreeWriter::Prepare() {
    std::vector<PrepareNode> stack;
    stack.push_back(PrepareNode{&m_Root, NoNode, 0, NoNode, false});
    while (!stack.empty()) {
        PrepareNode& top = stack.back();
        if (top.m_Visited) {
            const PrepareNode done = top;
            stack.pop_back();
            const NodeInfo& info = m_Nodes[done.m_Index];
            if (info.m_Function != RootFunction) {
                m_FunctionTable[info.m_Function].m_OpenNode = done.m_SavedOpen;
                m_Nodes[stack[done.m_Parent].m_Index].m_SubtreeCount += info.m_SubtreeCount;
            }
            continue;
        }
        top.m_Visited = true;
        top.m_Index = static_cast<DWORD>(m_Nodes.size());
        const CallNode& node = *top.m_pNode;
        DWORD function = RootFunction;
        // Every non-root node counts for its function, fuid 0 included: only the root is no
        // function.
        if (&node != &m_Root) {
            function = FunctionOf(node.m_Fuid);
            FunctionEntry& entry = m_FunctionTable[function];
            ++entry.m_InstanceCount;
            // Only the nearest open node of the function is marked; it was itself below any
            // farther one, which was marked when it was visited.
            if (entry.m_OpenNode != NoNode) {
                m_Nodes[entry.m_OpenNode].m_Recursive = 1;
            }
            top.m_SavedOpen = entry.m_OpenNode;
            entry.m_OpenNode = top.m_Index;
        }
        m_Nodes.push_back(NodeInfo{1, function, 0});
        m_LargestTotal = std::max(m_LargestTotal, node.GetTotalTime());

        const DWORD parent = static_cast<DWORD>(stack.size() - 1);
        DWORD childCount = 0;
        ForEachChild(node, [&](const CallNode& child) {
            stack.push_back(PrepareNode{&child, parent, 0, NoNode, false});
            ++childCount;
        });
        if (&node == &m_Root) {
            m_RootChildCount = childCount;
        }
    }
}

void CallTreeWriter::LookUpFunctions() {
    for (FunctionEntry& entry : m_FunctionTable) {
        m_Functions.GetFunctionData(entry.m_Fuid, entry.m_Data);
        if (entry.m_InstanceCount > 1) {
            entry.m_pAggregate = std::make_unique<Aggregate>();
            entry.m_pAggregate->m_Buffer.reserve(std::min(entry.m_InstanceCount, ChunkCapacity));
        }
    }
}

const PermanentFunctionData& CallTreeWriter::DataOf(DWORD function) const {
    return function == RootFunction ? RootData : m_FunctionTable[function].m_Data;
}

int64_t CallTreeWriter::NodeRecordSize(DWORD childCount) const {
    const int64_t fixed = m_I + 4 + 2 * m_O + 2 * m_Q + 2 * m_W + 4 + 1 + 2;
    return fixed + int64_t{childCount} * (m_I + 4 + m_O);
}

// The aggregate section's size, exactly, for positions `positionWidth` bytes wide.
int64_t CallTreeWriter::AggregateSize(unsigned positionWidth) const {
    int64_t size = 4;
    for (const FunctionEntry& entry : m_FunctionTable) {
        if (entry.m_InstanceCount > 1) {
            const int64_t count = entry.m_InstanceCount;
            const int64_t chunks = (count + ChunkCapacity - 1) / ChunkCapacity;
            size += (2 * m_O + m_I + 2 * m_W + 8) * count + chunks * (positionWidth + 2 * m_O + 2) +
                    m_W + 2 * m_O + 21 + positionWidth;
        }
    }
    return size;
}

void CallTreeWriter::ComputeWidths(int64_t headerPrefixSize) {
    const int64_t nodeCount = static_cast<int64_t>(m_Nodes.size());
    m_I = m_Functions.GetIndexByteCount();
    m_W = TimeWidth(m_LargestTotal);
    // P has no header: its first entry lies at 0.
    m_Q = PositionWidth((nodeCount - 1) * m_I);

    // The root's record comes last; its offset must fit the width the header announces.
    for (m_O = 1;; ++m_O) {
        const int64_t headerSize = headerPrefixSize + 5 + m_O;
        m_RootOffset = headerSize + (nodeCount - 1) * NodeRecordSize(0) +
                       (nodeCount - 1 - m_RootChildCount) * (m_I + 4 + m_O);
        if (PositionWidth(m_RootOffset) <= m_O) {
            break;
        }
    }

    // The estimate E that decides R, summed over every function.
    for (m_R = 1;; ++m_R) {
        int64_t estimate = 4;
        for (const FunctionEntry& entry : m_FunctionTable) {
            const int64_t count = entry.m_InstanceCount;
            estimate += (2 * m_O + m_I + 2 * m_W + 8) * count + m_W + 2 * m_O + 20 + m_R +
                        (count + ChunkCapacity - 1) / ChunkCapacity * (m_R + 2 * m_O + 2);
        }
        // E counts a summary one byte short; the exact size guards the rare tree where that
        // byte per function would carry a position past the width E allows.
        if (PositionWidth(estimate) <= m_R && PositionWidth(AggregateSize(m_R)) <= m_R) {
            break;
        }
    }
}

void CallTreeWriter::WriteHeaders(const std::vector<BYTE>& headerPrefix) {
    BufferedWriteStream& t = *m_T.m_pBuffer;
    t.Write(headerPrefix.data(), headerPrefix.size());
    WriteSizeTAsUInt8(t, m_I);
    WriteSizeTAsUInt8(t, m_O);
    WriteU8(t, 0);
    WriteSizeTAsUInt8(t, m_Q);
    WriteSizeTAsUInt8(t, m_W);
    WritePosition(t, m_RootOffset, m_O);

    BufferedWriteStream& a = *m_A.m_pBuffer;
    WriteSizeTAsUInt8(a, m_I);
    WriteSizeTAsUInt8(a, m_R);
    WriteSizeTAsUInt8(a, m_O);
    WriteSizeTAsUInt8(a, m_W);

    // The record counts are patched when the sections are complete.
    BufferedWriteStream& f = *m_F.m_pBuffer;
    WriteSizeTAsUInt8(f, m_I);
    WriteSizeTAsUInt8(f, m_R);
    WriteU32(f, 0);

    BufferedWriteStream& s = *m_S.m_pBuffer;
    WriteSizeTAsUInt8(s, m_I);
    WriteSizeTAsUInt8(s, m_O);
    WriteU32(s, 0);
}

void CallTreeWriter::Write(ISnapShotStorage& snapshot, DWORD number, DWORD activationCount,
                           const WString& name, BaseProgressIndicator& progress) {
    for (Section* pSection : {&m_T, &m_A, &m_F, &m_S, &m_P}) {
        pSection->m_pStream = snapshot.CreateSection();
        pSection->m_pBuffer =
            std::make_unique<BufferedWriteStream>(*pSection->m_pStream, SectionBufferSize);
    }

    // The header's leading fields, encoded first: their size decides the width of offsets.
    MemoryBridgeStream prefix;
    WriteU32(prefix, number);
    WriteU32(prefix, activationCount);
    WriteString(prefix, std::u16string_view(name));
    WriteString(prefix, std::u16string_view());
    ComputeWidths(static_cast<int64_t>(prefix.GetSize()));
    WriteHeaders(prefix.GetContent());

    WriteTree(progress);
    WriteSummaries(progress);

    for (Section* pSection : {&m_T, &m_A, &m_F, &m_S, &m_P}) {
        pSection->m_pBuffer->Flush();
    }
    constexpr int32_t CountPosition = 2;
    m_F.m_pStream->Seek(ISeekBridgeStream::SeekBegin, CountPosition);
    WriteU32(*m_F.m_pStream, m_FunctionRecords);
    m_S.m_pStream->Seek(ISeekBridgeStream::SeekBegin, CountPosition);
    WriteU32(*m_S.m_pStream, m_SingleRecords);
    CloseSections(snapshot);
}

void CallTreeWriter::WriteTree(BaseProgressIndicator& progress) {
    ChildProgressIndicator nodeProgress(progress, NodeProgressUnits);
    nodeProgress.Begin(static_cast<DWORD>(m_Nodes.size()));

    std::vector<WriteNode> stack;
    std::vector<WriteChildNode> children;
    DWORD visited = 0;
    stack.push_back(WriteNode{&m_Root, NoNode, 0, false, 0, 0, 0, 0});
    while (!stack.empty()) {
        WriteNode& top = stack.back();
        if (top.m_Visited) {
            WriteRecord(stack, children);
            stack.pop_back();
            nodeProgress.Step(1);
            continue;
        }
        if (visited >= m_Nodes.size()) {
            throw std::runtime_error("Internal save error");
        }
        top.m_Visited = true;
        top.m_Index = visited++;
        const CallNode& node = *top.m_pNode;
        const DWORD parent = static_cast<DWORD>(stack.size() - 1);
        DWORD childCount = 0;
        ForEachChild(node, [&](const CallNode& child) {
            stack.push_back(WriteNode{&child, parent, 0, false, 0, 0, 0, 0});
            ++childCount;
        });
        // `top` may have moved with the pushes.
        WriteNode& entry = stack[parent];
        const int64_t descendants = m_Nodes[entry.m_Index].m_SubtreeCount - 1;
        entry.m_ChildCount = childCount;
        entry.m_SubtreeBegin = static_cast<int64_t>(m_T.m_pBuffer->GetPosition());
        entry.m_ListBegin = static_cast<int64_t>(m_P.m_pBuffer->GetPosition());
        entry.m_Offset = entry.m_SubtreeBegin + descendants * NodeRecordSize(0) +
                         (descendants - childCount) * (m_I + 4 + m_O);
    }
    if (visited != m_Nodes.size() || !children.empty()) {
        throw std::runtime_error("Internal save error");
    }
    nodeProgress.End();
}

void CallTreeWriter::WriteRecord(std::vector<WriteNode>& stack,
                                 std::vector<WriteChildNode>& children) {
    const WriteNode& entry = stack.back();
    const CallNode& node = *entry.m_pNode;
    const NodeInfo& info = m_Nodes[entry.m_Index];
    const bool isRoot = info.m_Function == RootFunction;
    BufferedWriteStream& t = *m_T.m_pBuffer;
    BufferedWriteStream& p = *m_P.m_pBuffer;
    if (static_cast<int64_t>(t.GetPosition()) != entry.m_Offset) {
        throw std::runtime_error("Internal save error");
    }

    // The children's records were written last child first, so the first child's entry is on top.
    if (children.size() < entry.m_ChildCount) {
        throw std::runtime_error("Invalid internal children data");
    }
    const size_t firstEntry = children.size() - 1;
    size_t seen = 0;
    UINT64 childTotal = 0;
    ForEachChild(node, [&](const CallNode& child) {
        if (seen >= entry.m_ChildCount || children[firstEntry - seen].m_pNode != &child) {
            throw std::runtime_error("Invalid internal children data");
        }
        childTotal += child.GetTotalTime();
        ++seen;
    });
    if (seen != entry.m_ChildCount) {
        throw std::runtime_error("Invalid internal children data");
    }

    const UINT64 total = node.GetTotalTime();
    UINT64 own = 0;
    if (childTotal > total) {
        Log::Warning("Child time is great then total time");
    } else {
        own = total - childTotal;
    }
    BYTE flags = 0;
    if ((node.m_Time & CallNode::MeasuredPartlyFlag) != 0) {
        flags |= 0x01;
    }
    if ((node.m_Time & CallNode::SpecialFlag) != 0) {
        flags |= 0x02;
    }
    if (info.m_Recursive != 0) {
        flags |= 0x80;
    }

    const PermanentFunctionData& data = DataOf(info.m_Function);
    const int64_t listPosition = isRoot ? -1 : static_cast<int64_t>(p.GetPosition());
    BYTE* pOut = t.Reserve(PieceBytes);
    pOut = EncodeSized(pOut, data.metaDataIndex, m_I);
    pOut = EncodeU32(pOut, data.token);
    pOut = EncodePosition(pOut, isRoot ? -1 : stack[entry.m_Parent].m_Offset, m_O);
    pOut = EncodePosition(pOut, entry.m_SubtreeBegin, m_O);
    pOut = EncodePosition(pOut, listPosition, m_Q);
    pOut = EncodePosition(pOut, isRoot ? -1 : entry.m_ListBegin, m_Q);
    pOut = EncodeSized(pOut, own, m_W);
    pOut = EncodeSized(pOut, total, m_W);
    pOut = EncodeU32(pOut, node.m_CallCount);
    pOut = EncodeU8(pOut, flags);
    pOut = EncodeSizeTAsUInt16(pOut, entry.m_ChildCount);
    t.Commit(pOut);
    for (size_t i = 0; i < entry.m_ChildCount; ++i) {
        const WriteChildNode& child = children[firstEntry - i];
        pOut = t.Reserve(PieceBytes);
        pOut = EncodeSized(pOut, child.m_Data.metaDataIndex, m_I);
        pOut = EncodeU32(pOut, child.m_Data.token);
        t.Commit(EncodePosition(pOut, child.m_Offset, m_O));
    }
    children.resize(children.size() - entry.m_ChildCount);
    if (isRoot) {
        return;
    }

    p.Commit(EncodeSized(p.Reserve(PieceBytes), data.metaDataIndex, m_I));
    children.push_back(WriteChildNode{entry.m_Offset, data, &node});
    FunctionEntry& function = m_FunctionTable[info.m_Function];
    if (function.m_InstanceCount == 1) {
        BufferedWriteStream& s = *m_S.m_pBuffer;
        pOut = s.Reserve(PieceBytes);
        pOut = EncodeSized(pOut, data.metaDataIndex, m_I);
        pOut = EncodeU32(pOut, data.token);
        s.Commit(EncodePosition(pOut, entry.m_Offset, m_O));
        ++m_SingleRecords;
        return;
    }
    AddInstance(function, entry, stack[entry.m_Parent], own);
}

void CallTreeWriter::AddInstance(FunctionEntry& function, const WriteNode& node,
                                 const WriteNode& parent, UINT64 ownTime) {
    if (function.m_pAggregate == nullptr) {
        throw std::runtime_error("Header node have to be created");
    }
    Aggregate& aggregate = *function.m_pAggregate;
    // A full chunk is written only when another instance comes, so the last chunk, written
    // after the summary, is never empty.
    if (aggregate.m_Buffer.size() == ChunkCapacity) {
        WriteChunk(aggregate);
    }
    const CallNode& callNode = *node.m_pNode;
    Instance instance;
    instance.m_Offset = node.m_Offset;
    instance.m_CallerOffset = parent.m_Offset;
    instance.m_Total = callNode.GetTotalTime();
    instance.m_Own = ownTime;
    instance.m_CallCount = callNode.m_CallCount;
    instance.m_CallerFunction = m_Nodes[parent.m_Index].m_Function;
    aggregate.m_Buffer.push_back(instance);
    aggregate.m_OwnSum += instance.m_Own;
    aggregate.m_TotalSum += instance.m_Total;
    aggregate.m_CallSum += instance.m_CallCount;
    aggregate.m_Lowest = std::min(aggregate.m_Lowest, instance.m_Offset);
    aggregate.m_Highest = std::max(aggregate.m_Highest, instance.m_Offset);
    aggregate.m_Recursive = aggregate.m_Recursive || m_Nodes[node.m_Index].m_Recursive != 0;
    ++aggregate.m_InstanceCount;
}

void CallTreeWriter::WriteChunk(Aggregate& aggregate) {
    if (aggregate.m_Buffer.empty()) {
        throw std::runtime_error("No section data to write");
    }
    BufferedWriteStream& a = *m_A.m_pBuffer;
    const int64_t position = static_cast<int64_t>(a.GetPosition());
    int64_t lowest = INT64_MAX;
    int64_t highest = -1;
    for (const Instance& instance : aggregate.m_Buffer) {
        lowest = std::min(lowest, instance.m_Offset);
        highest = std::max(highest, instance.m_Offset);
    }
    BYTE* pOut = a.Reserve(PieceBytes);
    pOut = EncodePosition(pOut, aggregate.m_LastChunk, m_R);
    pOut = EncodePosition(pOut, lowest, m_O);
    pOut = EncodePosition(pOut, highest, m_O);
    a.Commit(EncodeSizeTAsUInt16(pOut, aggregate.m_Buffer.size()));
    for (auto pInstance = aggregate.m_Buffer.rbegin(); pInstance != aggregate.m_Buffer.rend();
         ++pInstance) {
        const PermanentFunctionData& caller = DataOf(pInstance->m_CallerFunction);
        pOut = a.Reserve(PieceBytes);
        pOut = EncodePosition(pOut, pInstance->m_Offset, m_O);
        pOut = EncodeSized(pOut, caller.metaDataIndex, m_I);
        pOut = EncodeU32(pOut, caller.token);
        pOut = EncodePosition(pOut, pInstance->m_CallerOffset, m_O);
        pOut = EncodeSized(pOut, pInstance->m_Total, m_W);
        pOut = EncodeSized(pOut, pInstance->m_Own, m_W);
        a.Commit(EncodeU32(pOut, pInstance->m_CallCount));
    }
    aggregate.m_LastChunk = position;
    aggregate.m_Buffer.clear();
}

void CallTreeWriter::WriteSummaries(BaseProgressIndicator& progress) {
    ChildProgressIndicator functionProgress(progress, FunctionProgressUnits);
    functionProgress.Begin(static_cast<DWORD>(m_FunctionTable.size()));
    BufferedWriteStream& a = *m_A.m_pBuffer;
    BufferedWriteStream& f = *m_F.m_pBuffer;
    // Own times of distinct nodes add up to at most the root's total in a consistent tree; after
    // timing anomalies the sum could outgrow the time width, and then stops at its largest value.
    const UINT64 largestOwnSum = m_W >= 8 ? ~UINT64{0} : (UINT64{1} << (8 * m_W)) - 1;
    for (FunctionEntry& function : m_FunctionTable) {
        if (function.m_InstanceCount > 1) {
            if (function.m_pAggregate == nullptr) {
                throw std::runtime_error("Header node have to be created");
            }
            Aggregate& aggregate = *function.m_pAggregate;
            const int64_t position = static_cast<int64_t>(a.GetPosition());
            WriteSized(f, function.m_Data.metaDataIndex, m_I);
            WriteU32(f, function.m_Data.token);
            WritePosition(f, position, m_R);
            ++m_FunctionRecords;

            const int64_t lastChunk = position + m_W + 8 + 8 + 2 * m_O + 1 + 4 + m_R;
            WriteSized(a, std::min(aggregate.m_OwnSum, largestOwnSum), m_W);
            WriteU64(a, aggregate.m_TotalSum);
            WriteU64(a, aggregate.m_CallSum);
            WritePosition(a, aggregate.m_Lowest, m_O);
            WritePosition(a, aggregate.m_Highest, m_O);
            WriteBool(a, !aggregate.m_Recursive);
            WriteU32(a, aggregate.m_InstanceCount);
            WritePosition(a, lastChunk, m_R);
            if (static_cast<int64_t>(a.GetPosition()) != lastChunk) {
                throw std::runtime_error("Internal save error");
            }
            WriteChunk(aggregate);
        }
        functionProgress.Step(1);
    }
    functionProgress.End();
}

void CallTreeWriter::CloseSections(ISnapShotStorage& snapshot) {
    // Each stream belongs to the storage and is gone once closed.
    const struct {
        Section* pSection;
        WORD type;
        WORD version;
    } order[] = {{&m_P, ListSectionType, OtherSectionVersion},
                 {&m_S, SingleSectionType, OtherSectionVersion},
                 {&m_F, FunctionSectionType, OtherSectionVersion},
                 {&m_A, AggregateSectionType, AggregateSectionVersion},
                 {&m_T, TreeSectionType, OtherSectionVersion}};
    for (const auto& close : order) {
        close.pSection->m_pBuffer.reset();
        IWriteSeekBridgeStream* pStream = close.pSection->m_pStream;
        close.pSection->m_pStream = nullptr;
        snapshot.CloseSection(pStream, close.type, close.version);
    }
}
