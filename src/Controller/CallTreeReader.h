// Rebuilds one thread's call tree from the five sections the profiler writes for it, checking
// everything the sections say against each other before anything is believed:
//
//   T (0x1100)  the tree: thread identity, field widths, one record per node, children before
//               their parents and the root last; records point at each other by byte offset
//   P (0x1105)  each non-root node's metadata index, in T's record order
//   S (0x1103)  the record of every function with exactly one node
//   F (0x1102)  where A holds the aggregate of every function with several nodes
//   A (0x1101)  per such function a summary and its nodes in chunks of at most 1000 instances
//
// Every offset, position, width, own time, flag, S/F/A entry and chunk is checked; the first
// thing that does not add up raises SectionCursor::Error naming the section and byte position.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Controller/CallTree.h"
#include "Controller/SectionCursor.h"
#include "Controller/SnapshotSection.h"

namespace Controller {

struct CallTreeSections {
    const SnapshotSection* pTree = nullptr;
    const SnapshotSection* pAggregates = nullptr;
    const SnapshotSection* pFunctions = nullptr;
    const SnapshotSection* pSingles = nullptr;
    const SnapshotSection* pPositions = nullptr;
};

class CallTreeReader {
public:
    // All five sections must be given, closed with their types and versions (A version 1, the
    // others 0).
    static CallTree Read(const CallTreeSections& sections);

    // A full aggregate chunk; the last one written holds 1 to this many instances.
    static constexpr uint16_t ChunkInstances = 1000;

private:
    // The fields of a record that only the checks need.
    struct RecordFields {
        int64_t parent = 0;
        int64_t subtreeBegin = 0;
        int64_t position = 0;         // in P
        int64_t subtreePosition = 0;  // in P
        uint32_t firstRecord = 0;     // the lowest record index of the node's subtree
        uint32_t nodeCount = 0;       // of the subtree
    };
    struct ChildEntry {
        uint32_t metadataIndex;
        uint32_t token;
        int64_t offset;
        uint64_t at;  // the entry's byte position in T
    };
    struct Range {
        uint64_t begin;
        uint64_t end;
    };

    explicit CallTreeReader(const CallTreeSections& sections);

    static void CheckSection(const SnapshotSection* pSection, uint16_t type, uint16_t version);
    void ReadTreeHeader();
    void ReadRecords();
    void CheckRoot();
    void LinkChildren();
    void CheckSubtrees();
    void CheckTimesAndFlags();
    void CheckPositions();
    void CheckSingles();
    void CheckAggregates();
    void CheckAggregate(uint64_t key, const std::vector<uint32_t>& nodes, uint64_t position);
    uint32_t CheckChunk(uint64_t key, uint64_t position, bool last);
    void CheckAggregateCoverage();

    // The record starting at the offset, or NoParent.
    uint32_t FindRecord(int64_t offset) const;
    // The byte position in T of a field of a record: the fields in record order, 0 the index.
    uint64_t FieldAt(uint32_t node, int field) const;
    // The width byte of another section that must equal T's.
    static void CheckSameWidth(SectionCursor& cursor, const char* what, uint8_t expected,
                               uint8_t low, uint8_t high);

    SectionCursor m_Tree, m_Aggregates, m_FunctionIndex, m_Singles, m_Positions;
    CallTreeThread m_Thread;
    uint8_t m_IndexWidth = 0, m_OffsetWidth = 0, m_PositionWidth = 0, m_TimeWidth = 0;
    uint8_t m_AggregateWidth = 0;  // R: positions in A
    int64_t m_RootOffset = 0;
    uint64_t m_RootOffsetAt = 0;

    std::vector<CallTreeNode> m_Nodes;
    std::vector<RecordFields> m_Fields;
    std::vector<ChildEntry> m_Entries;
    std::vector<uint32_t> m_ChildIndexes;
    // Function key (metadata index << 32 | token) to its non-root nodes in record order.
    std::unordered_map<uint64_t, std::vector<uint32_t>> m_NodesByFunction;
    std::vector<bool> m_InChunk;  // per node: already met in an aggregate chunk
    std::unordered_set<uint64_t> m_ChunkStarts;
    std::vector<Range> m_AggregateRanges;
};

}  // namespace Controller
