// Writes one thread's call tree as the five call-tree sections, in two depth-first passes over
// the tree with explicit stacks (trees are deep; the thread's own stack is not).
//
//   T 0x1100 the tree: a header, then one record per node, each after its descendants' records,
//            the root last; records point at each other by offset.
//   A 0x1101 aggregates of the functions with more than one node: chunks of up to 1000 instances
//            linked backwards, then per function a summary followed by its last chunk.
//   F 0x1102 the function index: where each function's summary lies in A.
//   S 0x1103 functions with a single node: where that node lies in T.
//   P 0x1105 the function of every non-root node, in the order the records are written.
//
// The first pass counts each subtree, each function's nodes and finds recursion, so that the
// second can predict every record's offset and write each section front to back with fields as
// narrow as the data allows. Layouts: docs/call-tree-sections.md.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Platform/Types.h"
#include "Profiler/PermanentFunctionData.h"

struct CallNode;
class BaseProgressIndicator;
class BufferedWriteStream;
class FunctionGatherer;
class ISnapShotStorage;
class IWriteSeekBridgeStream;

class CallTreeWriter {
public:
    static constexpr WORD TreeSectionType = 0x1100;
    static constexpr WORD AggregateSectionType = 0x1101;
    static constexpr WORD FunctionSectionType = 0x1102;
    static constexpr WORD SingleSectionType = 0x1103;
    static constexpr WORD ListSectionType = 0x1105;
    static constexpr WORD AggregateSectionVersion = 1;
    static constexpr WORD OtherSectionVersion = 0;
    static constexpr DWORD ChunkCapacity = 1000;
    // Work units of the progress given to Write: per node written, per function summarised.
    static constexpr DWORD NodeProgressUnits = 15;
    static constexpr DWORD FunctionProgressUnits = 2;

    // The tree must not change while the writer lives.
    CallTreeWriter(const CallNode& root, FunctionGatherer& functions);
    ~CallTreeWriter();

    CallTreeWriter(const CallTreeWriter&) = delete;
    CallTreeWriter& operator=(const CallTreeWriter&) = delete;

    // First pass: subtree sizes, nodes per function, recursion, the largest total time.
    void Prepare();
    // Asks the function gatherer for every function's metadata index and token.
    void LookUpFunctions();
    // Second pass: opens the five sections, writes them and closes them. The thread's number,
    // activation count and name go into the tree section's header.
    void Write(ISnapShotStorage& snapshot, DWORD number, DWORD activationCount, const WString& name,
               BaseProgressIndicator& progress);

private:
    static constexpr DWORD NoNode = 0xFFFFFFFF;
    static constexpr DWORD RootFunction = 0x7FFFFFFF;

    // What the first pass learns of a node, kept by visiting order (both passes visit alike).
    struct NodeInfo {
        DWORD m_SubtreeCount;   // the node and all its descendants
        DWORD m_Function : 31;  // index in m_Functions; RootFunction for the root
        DWORD m_Recursive : 1;  // a node of the same function lies below
    };
    struct Instance;
    struct Aggregate;
    struct FunctionEntry {
        DWORD m_Fuid;
        DWORD m_InstanceCount;
        // First pass: the innermost node of this function on the path being visited, or NoNode.
        DWORD m_OpenNode;
        PermanentFunctionData m_Data;
        std::unique_ptr<Aggregate> m_pAggregate;  // functions with more than one node
    };
    // First-pass stack entry.
    struct PrepareNode {
        const CallNode* m_pNode;
        DWORD m_Parent;  // stack position of the parent's entry
        DWORD m_Index;   // visiting order, set at the first visit
        DWORD m_SavedOpen;
        bool m_Visited;
    };
    // Second-pass stack entry.
    struct WriteNode {
        const CallNode* m_pNode;
        DWORD m_Parent;
        DWORD m_Index;
        bool m_Visited;
        DWORD m_ChildCount;
        int64_t m_Offset;        // predicted at the first visit
        int64_t m_SubtreeBegin;  // where the subtree's records begin in T
        int64_t m_ListBegin;     // where the subtree's entries begin in P
    };
    // Left by a written record for its parent's child entries.
    struct WriteChildNode {
        int64_t m_Offset;
        PermanentFunctionData m_Data;
        const CallNode* m_pNode;
    };
    // One open section and the buffer in front of it.
    struct Section {
        IWriteSeekBridgeStream* m_pStream = nullptr;
        std::unique_ptr<BufferedWriteStream> m_pBuffer;
    };

    DWORD FunctionOf(DWORD fuid);
    void ComputeWidths(int64_t headerPrefixSize);
    int64_t NodeRecordSize(DWORD childCount) const;
    int64_t AggregateSize(unsigned positionWidth) const;
    void WriteHeaders(const std::vector<BYTE>& headerPrefix);
    void WriteTree(BaseProgressIndicator& progress);
    void WriteRecord(std::vector<WriteNode>& stack, std::vector<WriteChildNode>& children);
    void AddInstance(FunctionEntry& function, const WriteNode& node, const WriteNode& parent,
                     UINT64 ownTime);
    void WriteChunk(Aggregate& aggregate);
    void WriteSummaries(BaseProgressIndicator& progress);
    void CloseSections(ISnapShotStorage& snapshot);
    const PermanentFunctionData& DataOf(DWORD function) const;

    const CallNode& m_Root;
    FunctionGatherer& m_Functions;

    std::vector<NodeInfo> m_Nodes;
    std::vector<FunctionEntry> m_FunctionTable;
    std::unordered_map<DWORD, DWORD> m_FunctionIndex;  // fuid to m_FunctionTable position
    DWORD m_RootChildCount = 0;
    UINT64 m_LargestTotal = 0;

    // Field widths in bytes: metadata index, time, P position, T offset, A position.
    unsigned m_I = 0, m_W = 0, m_Q = 0, m_O = 0, m_R = 0;
    int64_t m_RootOffset = 0;

    Section m_T, m_A, m_F, m_S, m_P;
    DWORD m_FunctionRecords = 0;
    DWORD m_SingleRecords = 0;
};
